// What the bundled libraries expect of a JavaScript engine and Qt 6.4's does not do, or does
// differently. Evaluated once, before any of them.
(function (global) {
    // A pattern's source escapes every "/" again, even one already escaped ("\\/" for /\//),
    // so a pattern built from another pattern's source stops matching. Undo the extra escape.
    var source = Object.getOwnPropertyDescriptor(RegExp.prototype, 'source');
    Object.defineProperty(RegExp.prototype, 'source', {
        configurable: true,
        get: function () {
            return source.get.call(this).split('\\/').join('/');
        }
    });
    // ES2015 answers true for a value that is no object; this engine throws for null.
    var isFrozen = Object.isFrozen;
    Object.isFrozen = function (value) {
        return value === null || (typeof value !== 'object' && typeof value !== 'function')
            || isFrozen(value);
    };
    // After unshift(), sort() leaves the element put in front where it is ([9, 1, 2] with 0
    // unshifted sorts to [0, 1, 2, 9], but 9 unshifted stays first). A fresh copy sorts right.
    var sort = Array.prototype.sort;
    Object.defineProperty(Array.prototype, 'sort', {
        configurable: true,
        writable: true,
        value: function (compare) {
            var copy = Array.prototype.slice.call(this);
            sort.call(copy, compare);
            for (var i = 0; i < copy.length; ++i)
                this[i] = copy[i];
            return this;
        }
    });
    if (!Object.fromEntries) {
        Object.fromEntries = function (entries) {
            var out = {};
            for (var entry of entries)
                out[entry[0]] = entry[1];
            return out;
        };
    }
})(this);
