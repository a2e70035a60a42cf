// TeX in, SVG out, with no browser and no Node: typesetTex(source, display) gives
// {svg, width, height, depth} (sizes in ex) or throws with the TeX error.
import { mathjax } from 'mathjax-full/js/mathjax.js';
import { TeX } from 'mathjax-full/js/input/tex.js';
import { SVG } from 'mathjax-full/js/output/svg.js';
import { liteAdaptor } from 'mathjax-full/js/adaptors/liteAdaptor.js';
import { RegisterHTMLHandler } from 'mathjax-full/js/handlers/html.js';
import { AllPackages } from 'mathjax-full/js/input/tex/AllPackages.js';
import { SVGmo } from 'mathjax-full/js/output/svg/Wrappers/mo.js';

// Qt's SVG renderer ignores a nested <svg>, which MathJax uses to clip the stretched middle of
// a tall bracket or a long arrow. A group scaled to the exact extent draws the same glyph.
SVGmo.prototype.addExtV = function (n, v, H, D, T, B, W) {
  if (!n) return;
  T = Math.max(0, T - 0.1);
  B = Math.max(0, B - 0.1);
  const [h, d, w] = this.getChar(n, v);
  const Y = H + D - T - B;
  if (Y <= 0) return;
  const g = this.svg('g', {
    transform: `translate(${this.fixed((W - w) / 2)},${this.fixed(B - D)}) ` +
      `scale(1,${this.jax.fixed(Y / (h + d))}) translate(0,${this.fixed(d)})`,
  });
  this.addGlyph(n, v, 0, 0, g);
  this.adaptor.append(this.element, g);
};
SVGmo.prototype.addExtH = function (n, v, W, L, R, x = 0) {
  if (!n) return;
  R = Math.max(0, R - 0.1);
  L = Math.max(0, L - 0.1);
  const w = this.getChar(n, v)[2];
  const X = W - L - R;
  if (X <= 0) return;
  const g = this.svg('g', {
    transform: `translate(${this.fixed(x + L)},0) scale(${this.jax.fixed(X / w)},1)`,
  });
  this.addGlyph(n, v, 0, 0, g);
  this.adaptor.append(this.element, g);
};

// Packages that load others at run time, and the ones that turn an error into red text:
// a formula that cannot be typeset shows as its source instead.
const skipped = ['autoload', 'require', 'noerrors', 'noundefined', 'html'];
const adaptor = liteAdaptor();
RegisterHTMLHandler(adaptor);
const tex = new TeX({
  packages: AllPackages.filter((name) => !skipped.includes(name)),
  // Numbered equations would need a nested <svg> for the labels.
  tags: 'none',
  formatError: (jax, error) => { throw error; },
});
const svg = new SVG({ fontCache: 'none' });
const document = mathjax.document('', { InputJax: tex, OutputJax: svg });

function ex(value) {
  return parseFloat(value || '0');
}

globalThis.typesetTex = function (source, display) {
  const container = document.convert(source, { display: !!display, em: 16, ex: 8 });
  const node = adaptor.firstChild(container);
  const style = adaptor.getAttribute(node, 'style') || '';
  const align = /vertical-align:\s*(-?[\d.]+)ex/.exec(style);
  return {
    svg: adaptor.outerHTML(node),
    width: ex(adaptor.getAttribute(node, 'width')),
    height: ex(adaptor.getAttribute(node, 'height')),
    depth: align ? -parseFloat(align[1]) : 0,
  };
};
