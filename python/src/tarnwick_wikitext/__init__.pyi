# Types of the public interface. Every string of a result has the type of the
# document: str for a str, bytes for bytes or any other bytes-like object.
import os
from typing import (Any, Dict, Iterable, Iterator, List, NamedTuple, Optional, Tuple, Union, overload)

_Buffer = Union[bytes, bytearray, memoryview]

__version__: str

def library_version() -> str: ...

class Link(NamedTuple):
    target: Any  # str or bytes, as the document
    text: Any

class Heading(NamedTuple):
    level: int
    text: Any
    anchor: Any

class Template(NamedTuple):
    name: Any
    params: Dict[Any, Any]

class Category(NamedTuple):
    name: Any
    sort: Optional[Any]

class ExternalLink(NamedTuple):
    url: Any
    text: Any

class PageData(NamedTuple):
    links: List[Link]
    headings: List[Heading]
    categories: List[Category]
    templates: List[Template]
    external_links: List[ExternalLink]
    redirect: Optional[Any]

class Page(NamedTuple):
    id: int
    ns: int
    title: str
    redirect: Optional[str]
    revision: int
    timestamp: str
    text: str

class DumpError(OSError):
    page_id: Optional[int]
    offset: Optional[int]
    def __init__(self, message: str, page_id: Optional[int] = ..., offset: Optional[int] = ...) -> None: ...

_Path = Union[str, os.PathLike[str]]

def read_dump(path_or_file: Union[_Path, Any], *, ns: Union[int, Iterable[int], None] = ...,
              redirects: str = ..., models: Union[str, Iterable[str], None] = ...,
              byte_range: Optional[Tuple[int, int]] = ...) -> Iterator[Page]: ...
def dump_streams(path: _Path, index: Optional[_Path] = ...) -> List[Tuple[int, int]]: ...
def dump_jsonl(path: _Path, *, to: Union[str, Iterable[str]] = ..., byte_range: Optional[Tuple[int, int]] = ...,
               ns: Union[int, Iterable[int], None] = ..., redirects: str = ...,
               models: Union[str, Iterable[str], None] = ..., extended: bool = ..., safe: bool = ...,
               link_template: Optional[str] = ...) -> Tuple[bytes, int, int]: ...

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
def links(doc: Union[str, _Buffer], *, extended: bool = ...) -> List[Link]: ...
def headings(doc: Union[str, _Buffer], *, extended: bool = ...) -> List[Heading]: ...
def templates(doc: Union[str, _Buffer]) -> List[Template]: ...
def categories(doc: Union[str, _Buffer]) -> List[Category]: ...
def page(doc: Union[str, _Buffer]) -> PageData: ...
def render_many(docs: Iterable[Union[str, _Buffer]], *, threads: Optional[int] = ...,
                link_template: Optional[str] = ..., encode_targets: bool = ...,
                balance: bool = ..., safe_attributes: bool = ..., extended: bool = ...,
                rel: Optional[str] = ...) -> Iterator[Union[str, bytes]]: ...
