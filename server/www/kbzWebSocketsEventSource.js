/* kbzWebSockets EventSource for browsers without one: the stream is read with
 * an XMLHttpRequest whose text grows as the server writes, and parsed into
 * events as the standard describes (data, event, id and retry fields, an empty
 * line ends an event). Browsers that have an EventSource keep their own.
 */
(function (global) {
    "use strict";

    if (global.EventSource) {
        return;
    }

    function Event(type, fields) {
        this.type = type;
        for (var k in fields) {
            if (Object.prototype.hasOwnProperty.call(fields, k)) {
                this[k] = fields[k];
            }
        }
    }

    function EventSource(url, options) {
        this.url = String(url);
        this.withCredentials = !!(options && options.withCredentials);
        this.readyState = EventSource.CONNECTING;
        this.onopen = null;
        this.onmessage = null;
        this.onerror = null;
        this.listeners = {};
        this.retry = 3000;
        this.lastEventId = "";
        this.xhr = null;
        this.timer = null;
        this.connect();
    }

    EventSource.CONNECTING = 0;
    EventSource.OPEN = 1;
    EventSource.CLOSED = 2;
    // Lets a page tell this implementation from the browser's own.
    EventSource.kbzPolyfill = true;

    var p = EventSource.prototype;

    p.addEventListener = function (type, handler) {
        (this.listeners[type] = this.listeners[type] || []).push(handler);
    };

    p.removeEventListener = function (type, handler) {
        var list = this.listeners[type] || [];
        for (var i = list.length - 1; i >= 0; i--) {
            if (list[i] === handler) {
                list.splice(i, 1);
            }
        }
    };

    p.dispatchEvent = function (event) {
        var own = this["on" + event.type];
        if (typeof own === "function") {
            own.call(this, event);
        }
        var list = (this.listeners[event.type] || []).slice();
        for (var i = 0; i < list.length; i++) {
            list[i].call(this, event);
        }
        return true;
    };

    p.connect = function () {
        var self = this;
        var xhr = new global.XMLHttpRequest();
        var seen = 0;
        var pending = "";
        var data = [];
        var type = "";
        var id = self.lastEventId;
        var hasData = false;
        this.xhr = xhr;

        var line = function (text) {
            if (text === "") {
                self.lastEventId = id;
                if (hasData) {
                    var event = new Event(type || "message", {
                        data: data.join("\n"), lastEventId: id, origin: self.url
                    });
                    if (self.readyState !== EventSource.CLOSED) {
                        self.dispatchEvent(event);
                    }
                }
                data = [];
                type = "";
                hasData = false;
                return;
            }
            if (text.charAt(0) === ":") {
                return;
            }
            var colon = text.indexOf(":");
            var field = colon < 0 ? text : text.substring(0, colon);
            var value = colon < 0 ? "" : text.substring(colon + 1);
            if (value.charAt(0) === " ") {
                value = value.substring(1);
            }
            if (field === "data") {
                data.push(value);
                hasData = true;
            } else if (field === "event") {
                type = value;
            } else if (field === "id" && value.indexOf("\0") < 0) {
                id = value;
            } else if (field === "retry" && /^\d+$/.test(value)) {
                self.retry = parseInt(value, 10);
            }
        };

        var progress = function () {
            if (self.readyState === EventSource.CLOSED) {
                return;
            }
            if (self.readyState === EventSource.CONNECTING && xhr.status === 200) {
                self.readyState = EventSource.OPEN;
                self.dispatchEvent(new Event("open", {}));
            }
            var text = xhr.responseText || "";
            pending += text.substring(seen);
            seen = text.length;
            // Lines end with CR LF, LF or CR; a CR at the very end may still
            // be followed by its LF.
            var m;
            var re = /\r\n|\n|\r(?!$)/g;
            var start = 0;
            while ((m = re.exec(pending)) !== null) {
                line(pending.substring(start, m.index));
                start = m.index + m[0].length;
            }
            pending = pending.substring(start);
        };

        xhr.open("GET", this.url, true);
        xhr.withCredentials = this.withCredentials;
        xhr.setRequestHeader("Accept", "text/event-stream");
        if (this.lastEventId) {
            xhr.setRequestHeader("Last-Event-ID", this.lastEventId);
        }
        xhr.onprogress = progress;
        xhr.onreadystatechange = function () {
            if (xhr.readyState === 3) {
                progress();
            } else if (xhr.readyState === 4) {
                var ok = xhr.status === 200;
                if (ok) {
                    progress();
                }
                self.ended(ok);
            }
        };
        xhr.send();
    };

    // The stream ended: a good one is opened again after the retry time, a
    // refused one is closed for good.
    p.ended = function (ok) {
        if (this.readyState === EventSource.CLOSED) {
            return;
        }
        var self = this;
        if (!ok) {
            this.readyState = EventSource.CLOSED;
            this.dispatchEvent(new Event("error", {}));
            return;
        }
        this.readyState = EventSource.CONNECTING;
        this.dispatchEvent(new Event("error", {}));
        if (this.readyState === EventSource.CONNECTING) {
            this.timer = global.setTimeout(function () {
                self.timer = null;
                self.connect();
            }, this.retry);
        }
    };

    p.close = function () {
        this.readyState = EventSource.CLOSED;
        if (this.timer) {
            global.clearTimeout(this.timer);
            this.timer = null;
        }
        if (this.xhr) {
            var xhr = this.xhr;
            this.xhr = null;
            xhr.abort();
        }
    };

    global.EventSource = EventSource;
})(typeof window !== "undefined" ? window : this);
