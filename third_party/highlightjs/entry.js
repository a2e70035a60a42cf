// The common set of languages, and a few more that answers often carry.
import hljs from 'highlight.js/lib/common';
import dockerfile from 'highlight.js/lib/languages/dockerfile';
import powershell from 'highlight.js/lib/languages/powershell';
import latex from 'highlight.js/lib/languages/latex';
import cmake from 'highlight.js/lib/languages/cmake';
import nginx from 'highlight.js/lib/languages/nginx';
import protobuf from 'highlight.js/lib/languages/protobuf';

hljs.registerLanguage('dockerfile', dockerfile);
hljs.registerLanguage('powershell', powershell);
hljs.registerLanguage('latex', latex);
hljs.registerLanguage('cmake', cmake);
hljs.registerLanguage('nginx', nginx);
hljs.registerLanguage('protobuf', protobuf);
globalThis.hljs = hljs;
