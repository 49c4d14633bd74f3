// Runs in the editor's own script world, apart from any script of the
// edited document. It reports the document to the editor window through
// the web channel: its source after every change, and the font of the
// selection for the font boxes.
(function () {
    'use strict';
    let bridge = null;
    let reportQueued = false;

    function source() {
        const doctype = document.doctype ? '<!DOCTYPE ' + document.doctype.name + '>\n' : '';
        return doctype + document.documentElement.outerHTML;
    }

    function reportSource() {
        reportQueued = false;
        if (bridge)
            bridge.reportSource(source());
    }

    // One report for a batch of changes. A microtask, not a timer: with
    // the document's own scripts off, the browser runs no timers of this
    // world either.
    function queueReport() {
        if (!reportQueued) {
            reportQueued = true;
            Promise.resolve().then(reportSource);
        }
    }

    function reportSelection() {
        if (!bridge || !document.body)
            return;
        const size = parseInt(document.queryCommandValue('FontSize'), 10);
        bridge.reportSelection(isNaN(size) ? 0 : size, String(document.queryCommandValue('FontName') || ''));
    }

    window.varnholtEditor = {
        // Called once the document has loaded: design mode on, watchers in
        // place; returns the source the document started with.
        start: function () {
            document.designMode = 'on';
            new MutationObserver(queueReport).observe(document, {
                subtree: true, childList: true, attributes: true, characterData: true
            });
            document.addEventListener('selectionchange', reportSelection);
            return source();
        },
        source: source,
        // The caret to the point (x, y) of the view, in CSS pixels, for a
        // drop; false when no text position lies there.
        placeCaretAt: function (x, y) {
            const range = document.caretRangeFromPoint(x, y);
            if (!range || !document.body || !document.body.contains(range.startContainer))
                return false;
            const selection = document.getSelection();
            selection.removeAllRanges();
            selection.addRange(range);
            return true;
        },
        command: function (name, value) {
            // A command needs a place: without a selection in the body
            // the caret goes to the body's end.
            const selection = document.getSelection();
            if (document.body && (selection.rangeCount === 0 || !document.body.contains(selection.anchorNode))) {
                const range = document.createRange();
                range.selectNodeContents(document.body);
                range.collapse(false);
                selection.removeAllRanges();
                selection.addRange(range);
            }
            return document.execCommand(name, false, value === undefined ? null : value);
        },
        // The plain text of the plain text page as the first content of
        // the body: line breaks kept, nothing taken as markup.
        writeText: function (text) {
            document.body.textContent = '';
            const lines = text.split(/\r\n|\r|\n/);
            lines.forEach(function (line, i) {
                if (i > 0)
                    document.body.appendChild(document.createElement('br'));
                document.body.appendChild(document.createTextNode(line));
            });
        },
        pictureSources: function () {
            return Array.prototype.map.call(document.images, function (img) { return img.src; });
        },
        setPictureSources: function (sources, title) {
            Array.prototype.forEach.call(document.images, function (img, i) {
                if (sources[i])
                    img.setAttribute('src', sources[i]);
            });
            try { document.title = title; } catch (e) { /* a title is a nicety */ }
            return source();
        }
    };

    new QWebChannel(qt.webChannelTransport, function (channel) {
        bridge = channel.objects.editor;
        queueReport();
    });
})();
