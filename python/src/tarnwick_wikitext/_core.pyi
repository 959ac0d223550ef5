# Stubs of the extension module; the public names are re-exported and
# documented by the package (__init__.pyi).
from typing import Any, List, Optional, overload

from . import Heading, Link, _Buffer

FORMAT_HTML: int
FORMAT_LINKS_JSON: int
FORMAT_HEADINGS_JSON: int
FORMAT_TEXT: int
FORMAT_TEMPLATES_JSON: int
FORMAT_CATEGORIES_JSON: int
FORMAT_PAGE_JSON: int
ENCODE_TARGETS: int
BALANCE_TAGS: int
SAFE_ATTRIBUTES: int
EXTENDED: int

def library_version() -> str: ...
@overload
def to_html(doc: str, *, link_template: Optional[str] = ..., encode_targets: bool = ...,
            balance: bool = ..., safe_attributes: bool = ..., extended: bool = ...,
            rel: Optional[str] = ...) -> str: ...
@overload
def to_html(doc: _Buffer, *, link_template: Optional[str] = ..., encode_targets: bool = ...,
            balance: bool = ..., safe_attributes: bool = ..., extended: bool = ...,
            rel: Optional[str] = ...) -> bytes: ...
@overload
def to_text(doc: str, *, balance: bool = ..., safe_attributes: bool = ...) -> str: ...
@overload
def to_text(doc: _Buffer, *, balance: bool = ..., safe_attributes: bool = ...) -> bytes: ...
def links(doc: str | _Buffer, *, extended: bool = ...) -> List[Link]: ...
def headings(doc: str | _Buffer, *, extended: bool = ...) -> List[Heading]: ...
def _render(doc: str | _Buffer, format: int, flags: int) -> Any: ...
def _render_batch(docs: List[Any], format: int, flags: int, link_template: Optional[str],
                  rel: Optional[str]) -> List[Any]: ...
def _register_record(name: str, type: type) -> None: ...
