// Types of tarnwick-wikitext.

/** Options of one call; every field is optional. */
export interface Options {
  /** Address of internal links; "$1" stands for the target. Default "/wiki/$1". */
  linkTemplate?: string | null;
  /** Internal-link targets are percent-encoded as URL paths. */
  encodeTargets?: boolean;
  /** Well-formed output: elements close within their block, in order. */
  balance?: boolean;
  /** <span> keeps only harmless attributes. */
  safeAttributes?: boolean;
  /** The syntax of the large public wikis beyond the core language. */
  extended?: boolean;
  /** rel of external links. Default "nofollow". */
  rel?: string | null;
}

/** The input: text, or its UTF-8 bytes. */
export type Input = string | Uint8Array;

/** A string for a string, UTF-8 bytes for bytes. */
export type Output<T extends Input> = T extends Uint8Array ? Uint8Array : string;

export type Format = 'html' | 'links' | 'headings' | 'text' | 'templates' | 'categories' | 'page';

export interface Link { target: string; text: string; }
export interface Heading { level: number; text: string; anchor: string; }
export interface Template { name: string; params: { name: string; value: string }[]; }
export interface Category { name: string; sort: string | null; }
export interface Page {
  links: Link[];
  headings: Heading[];
  categories: Category[];
  templates: Template[];
  external_links: unknown[];
  redirect: unknown;
}

/** The functions of the package on one instance of the module. */
export interface Wikitext {
  /** The format as the library writes it (JSON formats as JSON text). */
  render<T extends Input>(input: T, format: Format, options?: Options): Output<T>;
  /** The HTML fragment. */
  toHtml<T extends Input>(input: T, options?: Options): Output<T>;
  /** The page as plain text (extended syntax). */
  toText<T extends Input>(input: T, options?: Options): Output<T>;
  /** The internal links, in document order. */
  links(input: Input, options?: Options): Link[];
  /** The headings, in document order; each anchor is the id in the HTML. */
  headings(input: Input, options?: Options): Heading[];
  /** The templates (extended syntax). */
  templates(input: Input, options?: Options): Template[];
  /** The categories (extended syntax). */
  categories(input: Input, options?: Options): Category[];
  /** Everything the page lists (extended syntax). */
  page(input: Input, options?: Options): Page;
  /** Bytes of the module's memory, which grows and never shrinks. */
  memorySize(): number;
}

/** Whether this engine runs the SIMD build. */
export function simdSupported(): boolean;

/** A new instance with memory of its own; `simd` forces a build. */
export function instantiate(options?: { simd?: boolean }): Promise<Wikitext & { readonly simd: boolean }>;

/** Loads the module for the functions below; resolves once it is ready. */
export function init(options?: { simd?: boolean }): Promise<Wikitext & { readonly simd: boolean }>;

export const render: Wikitext['render'];
export const toHtml: Wikitext['toHtml'];
export const toText: Wikitext['toText'];
export const links: Wikitext['links'];
export const headings: Wikitext['headings'];
export const templates: Wikitext['templates'];
export const categories: Wikitext['categories'];
export const page: Wikitext['page'];
export const memorySize: Wikitext['memorySize'];
