// Colours a code block: the text is cut into ranges [start, length, role, ...] in UTF-16 code
// units, the role being an index into ROLES (what CodeHighlighter's palette follows). Text
// outside every range keeps the block's own colour.
var ROLES = ['keyword', 'string', 'comment', 'number', 'function', 'type', 'attribute', 'meta',
             'addition', 'deletion'];

var SCOPE_ROLES = {
    'keyword': 0, 'selector-tag': 0, 'doctag': 0, 'section': 0,
    'string': 1, 'regexp': 1, 'char': 1, 'symbol': 1, 'link': 1,
    'comment': 2, 'quote': 2,
    'number': 3, 'literal': 3,
    'title': 4, 'title.function': 4, 'title.function.invoke': 4,
    'type': 5, 'built_in': 5, 'class': 5, 'title.class': 5, 'title.class.inherited': 5,
    'attr': 6, 'attribute': 6, 'variable': 6, 'template-variable': 6, 'property': 6,
    'params': -1, 'selector-id': 6, 'selector-class': 6, 'selector-attr': 6,
    'selector-pseudo': 6,
    'meta': 7, 'tag': 7, 'name': 7, 'meta keyword': 7, 'bullet': 7,
    'addition': 8,
    'deletion': 9
};

function roleOf(scope) {
    if (!scope || scope.indexOf('language:') === 0)
        return -1;
    if (scope in SCOPE_ROLES)
        return SCOPE_ROLES[scope];
    var dot = scope.indexOf('.');
    var head = dot < 0 ? scope : scope.slice(0, dot);
    return head in SCOPE_ROLES ? SCOPE_ROLES[head] : -1;
}

// Appends the ranges of a token tree whose text starts at `at` in the block.
function flatten(root, at, out) {
    function walk(node, role) {
        for (var i = 0; i < node.children.length; ++i) {
            var child = node.children[i];
            if (typeof child === 'string') {
                if (role >= 0 && child.length > 0) {
                    var n = out.length;
                    if (n >= 3 && out[n - 1] === role && out[n - 3] + out[n - 2] === at)
                        out[n - 2] += child.length;
                    else
                        out.push(at, child.length, role);
                }
                at += child.length;
            } else {
                var own = roleOf(child.scope);
                walk(child, own >= 0 ? own : role);
            }
        }
    }
    walk(root, -1);
}

// Pieces of about this many characters, cut at line ends. The engine copies a pattern's whole
// subject at every match, so the work grows with the square of the text one call is given.
var PIECE = 2000;

function colourPieces(code, language) {
    var out = [];
    var top = null;
    for (var start = 0; start < code.length;) {
        var end = code.indexOf('\n', Math.min(start + PIECE, code.length));
        end = end < 0 ? code.length : end + 1;
        var piece = code.slice(start, end);
        var result = hljs.continueHighlight(language, piece, true, top);
        if (result._emitter)
            flatten(result._emitter.rootNode, start, out);
        top = result._top || null;
        start = end;
    }
    return out;
}

// `language` is a name or alias the library knows, or "" to guess. A guess is taken only when
// it is clear: answers put prose and program output in unlabelled blocks often, and a short
// snippet scores alike in several languages, so plain text wins a low or close score. The
// guess reads the block's start: every language's grammar is tried on it.
function colourCode(code, language) {
    if (language) {
        if (!hljs.getLanguage(language))
            return { language: '', ranges: [] };
    } else {
        var guess = hljs.highlightAuto(code.slice(0, 3 * PIECE));
        var second = guess.secondBest ? guess.secondBest.relevance : 0;
        if (!guess.language || guess.relevance < 5 || guess.relevance <= 1.25 * second)
            return { language: '', ranges: [] };
        language = guess.language;
    }
    return { language: language, ranges: colourPieces(code, language) };
}
