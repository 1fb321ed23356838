/* kbzWebSockets browser client: a browser WebSocket to a kbzWebSockets server,
 * or, where that cannot be had, a server-sent-events stream whose sends go out
 * as XHR posts. The same events either way: open, close, message, stream, error.
 *
 *   var ws = new kbzWebSocket({host: "127.0.0.1:8080", transport: ["websocket", "sse"]});
 *   ws.on("message", function (text) { ... });
 *   ws.open();
 *   ws.send("hello");
 */
(function (global) {
    "use strict";

    var STATES = ["connecting", "open", "closing", "closed"];

    // "ws://h:p/path", "https://h:p", "h:p/path" or "h": the scheme tells
    // whether TLS is used; without one the page's own protocol does.
    function parseHost(text) {
        var m = /^(wss?|https?):\/\/(.*)$/i.exec(text);
        var secure = global.location && global.location.protocol === "https:";
        if (m) {
            secure = /^(wss|https)$/i.test(m[1]);
            text = m[2];
        }
        var slash = text.indexOf("/");
        return {
            secure: secure,
            host: slash < 0 ? text : text.substring(0, slash),
            path: slash < 0 ? "/" : text.substring(slash)
        };
    }

    function transports(value) {
        if (!value) {
            return ["websocket", "sse"];
        }
        if (typeof value === "string") {
            value = value.split(",");
        }
        var list = [];
        for (var i = 0; i < value.length; i++) {
            var name = String(value[i]).replace(/^\s+|\s+$/g, "").toLowerCase();
            if (name) {
                list.push(name);
            }
        }
        return list;
    }

    function kbzWebSocket(target, subprotocol, transport) {
        if (!(this instanceof kbzWebSocket)) {
            return new kbzWebSocket(target, subprotocol, transport);
        }
        var o = typeof target === "object" && target !== null ? target :
            {host: target, subprotocol: subprotocol, transport: transport};
        var where = parseHost(o.host || "127.0.0.1");
        this.secure = where.secure;
        this.host = where.host;
        this.path = where.path;
        this.subprotocol = o.subprotocol || "";
        this.user = o.user || "";
        this.password = o.password || "";
        this.transports = transports(o.transport);
        this.handlers = {};
        this.socket = null;
        this.active = "";
        this.id = "";
        this.readyState = 3;
    }

    var p = kbzWebSocket.prototype;

    p.on = function (event, handler) {
        (this.handlers[event] = this.handlers[event] || []).push(handler);
        return this;
    };

    p.fire = function (event) {
        var args = Array.prototype.slice.call(arguments, 1);
        var list = this.handlers[event] || [];
        for (var i = 0; i < list.length; i++) {
            list[i].apply(this, args);
        }
    };

    p.state = function () {
        return STATES[this.readyState];
    };

    p.transport = function () {
        return this.active;
    };

    p.url = function (scheme) {
        var path = this.path;
        if (this.user) {
            // The server reads the credentials from a path of its root.
            path = "/kbz/auth/url/" + encodeURIComponent(this.user) + "/" +
                encodeURIComponent(this.password);
        }
        return scheme + (this.secure ? "s" : "") + "://" + this.host + path;
    };

    p.open = function () {
        if (this.readyState !== 3) {
            return this;
        }
        this.readyState = 0;
        this.tryTransport(0);
        return this;
    };

    // Tries the transports in order; one that fails before it opened hands
    // over to the next.
    p.tryTransport = function (index) {
        var self = this;
        var name = this.transports[index];
        var next = function (error) {
            self.socket = null;
            if (index + 1 < self.transports.length) {
                self.tryTransport(index + 1);
            } else {
                self.readyState = 3;
                self.fire("error", error);
                self.fire("close", 1006, "");
            }
        };
        this.active = name || "";
        try {
            if (name === "websocket" && global.WebSocket) {
                this.openWebSocket(next);
            } else if (name === "sse" && global.EventSource) {
                this.openEventSource(next);
            } else {
                next(name + " not available");
            }
        } catch (e) {
            next(e.message || String(e));
        }
    };

    p.openWebSocket = function (next) {
        var self = this;
        var ws = this.subprotocol ? new global.WebSocket(this.url("ws"), this.subprotocol) :
            new global.WebSocket(this.url("ws"));
        var opened = false;
        ws.binaryType = "arraybuffer";
        this.socket = ws;
        ws.onopen = function () {
            opened = true;
            self.readyState = 1;
            self.fire("open");
        };
        ws.onmessage = function (e) {
            if (typeof e.data === "string") {
                self.fire("message", e.data);
            } else {
                self.fire("stream", e.data);
            }
        };
        ws.onerror = function () {
            if (opened) {
                self.fire("error", "websocket error");
            }
        };
        ws.onclose = function (e) {
            if (!opened && self.readyState === 0) {
                next("websocket refused");
                return;
            }
            self.readyState = 3;
            self.socket = null;
            self.fire("close", e.code, e.reason);
        };
    };

    p.openEventSource = function (next) {
        var self = this;
        var url = this.url("http");
        if (this.subprotocol) {
            // The server picks the subprotocol from the stream's path.
            url = url.replace(/\/+$/, "") + "/" + encodeURIComponent(this.subprotocol);
        }
        var es = new global.EventSource(url);
        var count = 0;
        this.socket = es;
        es.onmessage = function (e) {
            count++;
            if (count === 1) {
                // The first event names the connection; the server repeats it once.
                self.id = e.data;
                self.readyState = 1;
                self.fire("open");
            } else if (count !== 2 || e.data !== self.id) {
                self.fire("message", e.data);
            }
        };
        es.onerror = function () {
            // A stream that ended is a connection that ended: a new stream
            // would be a new connection with a new identifier.
            es.close();
            self.socket = null;
            if (self.readyState === 0 && count === 0) {
                next("event stream refused");
                return;
            }
            if (self.readyState !== 3) {
                self.readyState = 3;
                self.fire("close", 1006, "");
            }
        };
    };

    p.send = function (text) {
        if (this.readyState !== 1) {
            this.fire("error", "not open");
            return false;
        }
        if (this.active === "websocket") {
            this.socket.send(text);
            return true;
        }
        var self = this;
        var xhr = new global.XMLHttpRequest();
        // The server takes posts for its streams at one path of its root.
        xhr.open("POST", "http" + (this.secure ? "s" : "") + "://" + this.host + "/kbz/xhr/" +
            encodeURIComponent(this.id), true);
        xhr.setRequestHeader("Content-Type", "text/plain;charset=UTF-8");
        xhr.onerror = function () {
            self.fire("error", "post failed");
        };
        xhr.onload = function () {
            if (xhr.status !== 200) {
                self.fire("error", "post answered " + xhr.status);
            }
        };
        xhr.send(String(text));
        return true;
    };

    p.sendbin = function (data) {
        if (this.readyState !== 1 || this.active !== "websocket") {
            this.fire("error", "binary messages need a websocket");
            return false;
        }
        this.socket.send(data);
        return true;
    };

    p.close = function (code, reason) {
        if (!this.socket || this.readyState > 1) {
            return;
        }
        if (this.active === "websocket") {
            this.readyState = 2;
            this.socket.close(code || 1000, reason || "");
            return;
        }
        this.socket.close();
        this.socket = null;
        this.readyState = 3;
        this.fire("close", code || 1000, reason || "");
    };

    // A binary stream of the server: its first 10 characters give the length
    // of a header text that follows them; the rest is the data.
    kbzWebSocket.readStream = function (data) {
        var bytes = new Uint8Array(data);
        var text = function (from, to) {
            return new TextDecoder().decode(bytes.subarray(from, to));
        };
        var length = parseInt(text(0, 10), 10) || 0;
        return {header: text(10, 10 + length), data: bytes.subarray(10 + length)};
    };

    global.kbzWebSocket = kbzWebSocket;
})(typeof window !== "undefined" ? window : this);
