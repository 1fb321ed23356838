/* kbzWebSockets Flash bridge: the WebSocket interface (readyState, send, close,
 * onopen, onmessage, onerror, onclose) over the bridge movie WebSocketMain.swf
 * for browsers without a WebSocket of their own. Where the movie cannot be had
 * (not on the server, no Flash player, no answer from the movie in time) the
 * socket reports "error" and closes, so a page falls back to another transport.
 */
(function (global) {
    "use strict";

    var doc = global.document;
    // The movie lives next to this script unless the page says otherwise.
    var script = doc && doc.currentScript ? doc.currentScript.src : "";
    var base = script ? script.replace(/[?#].*$/, "").replace(/[^\/]*$/, "") : "/";
    var sockets = {};
    var counter = 0;

    function hasFlashPlayer() {
        var types = global.navigator && global.navigator.mimeTypes;
        return !!(types && types["application/x-shockwave-flash"] &&
            types["application/x-shockwave-flash"].enabledPlugin);
    }

    function kbzFlashWebSocket(url, protocols) {
        var self = this;
        this.url = String(url);
        this.protocol = "";
        this.protocols = protocols ? [].concat(protocols) : [];
        this.readyState = kbzFlashWebSocket.CONNECTING;
        this.onopen = this.onmessage = this.onerror = this.onclose = null;
        this.id = ++counter;
        sockets[this.id] = this;
        global.setTimeout(function () {
            self.start();
        }, 0);
    }

    kbzFlashWebSocket.CONNECTING = 0;
    kbzFlashWebSocket.OPEN = 1;
    kbzFlashWebSocket.CLOSING = 2;
    kbzFlashWebSocket.CLOSED = 3;
    kbzFlashWebSocket.swfLocation = base + "WebSocketMain.swf";
    // How long the movie may take to report that it is ready.
    kbzFlashWebSocket.loadTimeout = 5000;

    var p = kbzFlashWebSocket.prototype;

    p.fire = function (type, fields) {
        var handler = this["on" + type];
        if (typeof handler === "function") {
            var event = {type: type, target: this};
            for (var k in fields || {}) {
                event[k] = fields[k];
            }
            handler.call(this, event);
        }
    };

    p.fail = function (message) {
        if (this.readyState === kbzFlashWebSocket.CLOSED) {
            return;
        }
        this.readyState = kbzFlashWebSocket.CLOSED;
        delete sockets[this.id];
        this.fire("error", {message: message});
        this.fire("close", {code: 1006, reason: message, wasClean: false});
    };

    // The movie is asked for first, so that a server without it is told apart
    // from a browser without a Flash player.
    p.start = function () {
        var self = this;
        var xhr = new global.XMLHttpRequest();
        xhr.open("GET", kbzFlashWebSocket.swfLocation, true);
        xhr.onreadystatechange = function () {
            if (xhr.readyState !== 4) {
                return;
            }
            if (xhr.status !== 200) {
                self.fail("bridge missing: " + kbzFlashWebSocket.swfLocation + " answered " +
                    xhr.status);
            } else if (!hasFlashPlayer()) {
                self.fail("bridge missing: no Flash player");
            } else {
                self.embed();
            }
        };
        xhr.send();
    };

    p.embed = function () {
        var self = this;
        var name = "kbzFlashBridge" + this.id;
        var holder = doc.createElement("div");
        holder.style.position = "absolute";
        holder.style.left = "-100px";
        holder.innerHTML = '<embed type="application/x-shockwave-flash" width="1" height="1"' +
            ' allowScriptAccess="always" name="' + name + '" id="' + name + '" src="' +
            kbzFlashWebSocket.swfLocation + '" flashvars="id=' + this.id + '">';
        doc.body.appendChild(holder);
        this.movie = doc.getElementById(name);
        this.timer = global.setTimeout(function () {
            self.fail("bridge missing: no answer from the movie");
        }, kbzFlashWebSocket.loadTimeout);
    };

    p.send = function (data) {
        if (this.readyState !== kbzFlashWebSocket.OPEN) {
            throw new Error("not open");
        }
        this.movie.send(this.id, encodeURIComponent(String(data)));
        return true;
    };

    p.close = function (code, reason) {
        if (this.readyState === kbzFlashWebSocket.OPEN) {
            this.readyState = kbzFlashWebSocket.CLOSING;
            this.movie.close(this.id, code || 1000, reason || "");
        } else if (this.readyState === kbzFlashWebSocket.CONNECTING) {
            this.fail("closed before open");
        }
    };

    // Called by the movie.
    kbzFlashWebSocket.bridgeEvent = function (id, type, data, code) {
        var ws = sockets[id];
        if (!ws) {
            return;
        }
        if (type === "ready") {
            global.clearTimeout(ws.timer);
            ws.movie.connect(ws.id, ws.url, ws.protocols.join(","));
        } else if (type === "open") {
            ws.readyState = kbzFlashWebSocket.OPEN;
            ws.protocol = data || "";
            ws.fire("open");
        } else if (type === "message") {
            ws.fire("message", {data: decodeURIComponent(data)});
        } else if (type === "error") {
            ws.fire("error", {message: data});
        } else if (type === "close") {
            ws.readyState = kbzFlashWebSocket.CLOSED;
            delete sockets[id];
            ws.fire("close", {code: code || 1006, reason: data || "", wasClean: code === 1000});
        }
    };

    global.kbzFlashWebSocket = kbzFlashWebSocket;
    if (!global.WebSocket) {
        global.WebSocket = kbzFlashWebSocket;
    }
})(typeof window !== "undefined" ? window : this);
