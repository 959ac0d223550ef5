#!/bin/sh
# Runs tarnwick-wikitext as a process and checks its output bytes, messages
# and exit statuses. One group of checks per call:
#   cli_test.sh GROUP TOOL RENDER_REF SOURCE_DIR WORK_DIR
# GROUP is modes, errors, standalone, batch, options, safety, limits or site.
# RENDER_REF prints what wtcore_render returns (FORMAT FLAGS TEMPLATE REL
# FILE), for byte comparisons. Exit status 77 says the group was skipped.
set -u
group=$1 tool=$2 render_ref=$3 src=$4 work=$5

rm -rf "$work" && mkdir -p "$work" && cd "$work" || exit 1
failures=0

fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

# run ARGS...: runs the tool; its output goes to out, its messages to err.
run() {
    "$tool" "$@" >out 2>err
    rc=$?
}

# same_file WHAT GOT WANT: the two files hold the same bytes.
same_file() {
    if ! cmp -s "$2" "$3"; then
        fail "$1"
        echo "  got:";  od -c "$2" | head -n 12
        echo "  want:"; od -c "$3" | head -n 12
    fi
}

# expect WHAT FILE FORMAT: FILE holds exactly the bytes of printf FORMAT.
expect() {
    printf "$3" >expected.want
    same_file "$1" "$2" expected.want
}

# status WHAT WANT: the last run exited with WANT.
status() {
    [ "$rc" -eq "$2" ] || fail "$1: exit status $rc, want $2 (stderr: $(cat err))"
}

# has WHAT FILE TEXT: FILE holds the line fragment TEXT.
has() {
    grep -qF -- "$3" "$2" || fail "$1: no '$3' in $2"
}

# skip REASON: says plainly that checks are left out, and why.
skipped=0
skip() {
    echo "SKIP: $*"
    skipped=$((skipped + 1))
}

# takes FORMAT FLAGS [TEMPLATE]: the library takes these options.
takes() {
    : >probe.wiki
    "$render_ref" "$1" "$2" "${3:--}" - probe.wiki >/dev/null 2>&1
}

# The library's option bits and format codes (include/wtcore.h).
ENCODE=1 BALANCE=2 SAFE_ATTRS=4 EXTENDED=8 SAFE=7

printf '== Title ==\nSee [[Main Page|home]].' >doc.wiki
doc_html='<h2 id="Title">Title</h2>\n<p>See <a href="/wiki/Main_Page">home</a>.</p>\n'

case $group in
modes)
    run doc.wiki; status "html" 0
    expect "html is the library's fragment, nothing added" out "$doc_html"
    run -t links doc.wiki; status "links" 0
    expect "links" out '[{"target":"Main Page","text":"home"}]'
    run --to=headings doc.wiki; status "headings" 0
    expect "headings" out '[{"level":2,"text":"Title","anchor":"Title"}]'
    run -thtml doc.wiki
    expect "-thtml" out "$doc_html"

    "$tool" <doc.wiki >out 2>err; rc=$?; status "stdin" 0
    expect "no FILE reads standard input" out "$doc_html"
    "$tool" -t links - <doc.wiki >out 2>err
    expect "'-' reads standard input" out '[{"target":"Main Page","text":"home"}]'

    run -o result.html doc.wiki; status "-o" 0
    expect "-o leaves standard output empty" out ''
    expect "-o writes the file" result.html "$doc_html"

    # The whole sample, against what the library itself returns.
    run "$src/examples/sample.wiki"; status "sample" 0
    "$render_ref" 0 0 - - "$src/examples/sample.wiki" >library.html
    same_file "sample.wiki converts as the library does" out library.html

    # Several FILEs are one document with a blank line between the files, so
    # the paragraphs stay apart; a JSON mode gives one array.
    printf 'para a' >a.wiki
    printf 'para b\n' >b.wiki
    printf '[[y]]\n' >c.wiki
    run a.wiki b.wiki; status "two files" 0
    expect "files joined with a blank line" out '<p>para a</p>\n<p>para b</p>\n'
    printf '[[x]]' >x.wiki
    run -t links x.wiki - c.wiki <doc.wiki
    expect "links of files and stdin in one array" out \
        '[{"target":"x","text":"x"},{"target":"Main Page","text":"home"},{"target":"y","text":"y"}]'
    ;;

errors)
    run nothere.wiki; status "missing file" 1
    expect "missing file message" err 'tarnwick-wikitext: nothere.wiki: No such file or directory\n'
    expect "missing file: no output" out ''
    mkdir adir
    run adir; status "directory" 1
    expect "directory message" err 'tarnwick-wikitext: adir: Is a directory\n'

    run -o partial.html doc.wiki nothere.wiki; status "one missing of two" 1
    [ -e partial.html ] && fail "a missing input still created the -o file"

    # A NUL byte is read as U+FFFD, from a file and from standard input.
    printf 'abc\000def' >nul.wiki
    run nul.wiki; status "NUL byte" 0
    expect "NUL byte reads as U+FFFD" out '<p>abc\357\277\275def</p>\n'
    "$tool" -t links <nul.wiki >out 2>err; rc=$?; status "NUL byte on stdin" 0
    expect "NUL byte on stdin" out '[]'

    if [ -w /dev/full ]; then
        "$tool" doc.wiki >/dev/full 2>err; rc=$?; status "full stdout" 1
        expect "full stdout message" err 'tarnwick-wikitext: standard output: No space left on device\n'
        run -o /dev/full doc.wiki; status "full -o file" 1
        has "full -o file" err '/dev/full: No space left on device'
        "$tool" --help >/dev/full 2>err; rc=$?; status "--help to a full disk" 1
    fi
    run -o nodir/x.html doc.wiki; status "-o into a missing directory" 1
    has "-o into a missing directory" err 'tarnwick-wikitext: nodir/x.html: No such file or directory'

    # Usage errors: one line saying what is wrong, then the hint; no output.
    while read -r args; do
        # shellcheck disable=SC2086
        run $args
        status "usage error '$args'" 2
        [ "$(wc -l <err)" -eq 2 ] || fail "usage error '$args': $(wc -l <err) lines of message"
        head -n 1 err | grep -q '^tarnwick-wikitext: .' || fail "usage error '$args': first line $(head -n 1 err)"
        [ "$(sed -n 2p err)" = "try 'tarnwick-wikitext --help'" ] || fail "usage error '$args': no hint"
        [ -s out ] && fail "usage error '$args' wrote output"
    done <<'EOF'
--bogus doc.wiki
-x doc.wiki
-t pdf doc.wiki
--to
-j 0 --output-dir d doc.wiki
-j two --output-dir d doc.wiki
--toc doc.wiki
--title T doc.wiki
-s -t links doc.wiki
--standalone=yes doc.wiki
-o r.html --output-dir d doc.wiki
--output-dir d
--output-dir d -
--output-dir= doc.wiki
--output= doc.wiki
-j 2 doc.wiki
--jobs=4 -o r.html doc.wiki
--site doc.wiki
--site -s doc.wiki
--site --output-dir d doc.wiki
--site -s --output-dir d --title T doc.wiki
--site -s --output-dir d --link-template $1.htm doc.wiki
-t links --rel nofollow doc.wiki
-t headings --link-template /w/$1 doc.wiki
-t links --balance doc.wiki
-t links --safe-attributes doc.wiki
-t text -s doc.wiki
--rel
EOF
    run -d '' doc.wiki; status "-d ''" 2
    run -o '' doc.wiki; status "-o ''" 2
    run -t pdf doc.wiki
    has "bad format names it" err "'pdf'"
    [ -e d ] && fail "a usage error created the output directory"

    run --help; status "--help" 0
    for option in -t --to -s --standalone --title --toc -o --output -d --output-dir -j --jobs --site \
        --link-template --rel --encode-targets --balance --safe-attributes --safe --extended -h --help --version; do
        grep -q -- "$option\\b" out || fail "--help does not list $option"
    done
    [ -s err ] && fail "--help wrote to stderr"
    run -h
    has "-h" out 'Usage: tarnwick-wikitext'
    run --version; status "--version" 0
    expect "--version" out 'tarnwick-wikitext 1.0.0\n'
    ;;

standalone)
    run -s doc.wiki; status "-s" 0
    [ "$(head -n 1 out)" = "<!DOCTYPE html>" ] || fail "-s: no doctype first"
    has "-s" out '<meta charset="utf-8">'
    has "-s" out '<title>Title</title>'
    has "-s" out '<style>'
    has "-s carries a Content-Security-Policy" out \
        "<meta http-equiv=\"Content-Security-Policy\" content=\"default-src 'none'; style-src 'unsafe-inline'; img-src * data:\">"
    grep -qi '<script' out && fail "-s: the page has a script"
    [ "$(tail -n 1 out)" = "</html>" ] || fail "-s: page does not end with </html>"
    sed '1,/^<main>$/d; /^<\/main>$/,$d' out >inside
    expect "-s keeps the fragment as it is" inside "$doc_html"
    grep -q '<nav' out && fail "-s without --toc has a table of contents"

    # The title: the first heading's text as a reader sees it: no markup,
    # comments or tags, entities as the page shows them.
    printf "no heading\n= =\n== ''Tom'' & <b>Jerry</b> ==\n== Later ==\n" >t.wiki
    run -s t.wiki
    has "title from the first heading with text" out "<title>Tom &amp; Jerry</title>"
    printf "== ''Intro'' & [[Main Page|Home]] <!-- c --> ==\n== <span title=\"a>b\">x</span>&nbsp;&lt;y&gt; ==\n" >m.wiki
    run -s --toc m.wiki
    has "title without markup" out "<title>Intro &amp; Home</title>"
    has "contents entry without markup" out '">Intro &amp; Home</a>'
    has "contents entry: tags with '>' in a value, entities kept" out '">x&nbsp;&lt;y&gt;</a>'
    run -s --title 'A <b> & "q"' t.wiki
    has "--title is escaped" out '<title>A &lt;b&gt; &amp; &quot;q&quot;</title>'
    printf 'just text\n' >'R&D notes.wiki'
    run -s 'R&D notes.wiki'
    has "title from the file name" out '<title>R&amp;D notes.wiki</title>'
    "$tool" -s <'R&D notes.wiki' >out 2>err
    has "title of standard input" out '<title>stdin</title>'
    : >empty.wiki
    run -s empty.wiki; status "empty page" 0
    sed -n '/^<main>$/,$p' out >inside
    expect "empty page" inside '<main>\n</main>\n</body>\n</html>\n'

    # The table of contents nests by level; entries are the headings' HTML
    # text, so a '"' stays as the page shows it.
    printf '= Top =\n== A b ==\n=== Sub ===\n== say "hi" \\ ==\ntext\n' >toc.wiki
    run -s --toc toc.wiki; status "--toc" 0
    sed -n '/^<nav/,/^<\/nav>/p' out >nav
    expect "--toc" nav '<nav class="toc">\n<p>Contents</p>\n<ul>\n<li><a href="#Top">Top</a>\n<ul>\n<li><a href="#A_b">A b</a>\n<ul>\n<li><a href="#Sub">Sub</a></li>\n</ul>\n</li>\n<li><a href="#say_hi_\\">say "hi" \\</a></li>\n</ul>\n</li>\n</ul>\n</nav>\n'
    has "--toc link target exists" out '<h2 id="say_hi_\">'
    printf '=== c ===\n== b ==\n==== d ====\n=== e ===\n' >skip.wiki
    run -s --toc skip.wiki
    sed -n '/^<ul>/,/^<\/nav>/p' out >nav
    expect "--toc with skipped and falling levels" nav '<ul>\n<li><a href="#c">c</a></li>\n<li><a href="#b">b</a>\n<ul>\n<li><a href="#d">d</a></li>\n<li><a href="#e">e</a></li>\n</ul>\n</li>\n</ul>\n</nav>\n'
    printf 'no headings\n' >plain.wiki
    run -s --toc plain.wiki
    grep -q '<nav' out && fail "--toc without headings has a table of contents"

    # With the extended syntax the contents stand where __TOC__ stands on a
    # line of its own; within a line, or without the syntax, before the text.
    printf 'Intro\n__TOC__\n== A ==\nx __TOC__ y\n' >at.wiki
    run -s --toc --extended at.wiki; status "--toc at __TOC__" 0
    sed '1,/^<main>$/d; /^<\/main>$/,$d' out >inside
    expect "--toc at __TOC__" inside '<p>Intro</p>\n<nav class="toc">\n<p>Contents</p>\n<ul>\n<li><a href="#A">A</a></li>\n</ul>\n</nav>\n<h2 id="A">A</h2>\n<p>x  y</p>\n'
    printf 'Intro\n== A ==\nx __TOC__ y\n' >within.wiki
    run -s --toc --extended within.wiki
    sed '1,/^<main>$/d; /^<\/main>$/,$d' out >inside
    expect "--toc with __TOC__ within a line" inside '<p>Intro</p>\n<h2 id="A">A</h2>\n<p>x  y</p>\n'
    grep -q '<nav' out || fail "--toc with __TOC__ within a line: no table of contents"
    grep -q 'tarnwick-toc' out && fail "--toc: the marker of __TOC__ is left in the page"

    # On the corpus, no contents entry shows wiki markup, a comment or a tag.
    corpus_all="$src/../shared/corpus/all.wiki"
    if [ -f "$corpus_all" ]; then
        run -s --toc "$corpus_all"; status "--toc on the corpus" 0
        sed -n '/^<nav/,/^<\/nav>/p' out | grep -o '">.*</a>' >entries
        [ "$(wc -l <entries)" -gt 1000 ] || fail "--toc on the corpus: $(wc -l <entries) entries"
        grep -E "\[\[|''|&lt;!--|<[a-z]+[ >]" entries >marked
        [ -s marked ] && fail "--toc on the corpus: entries with markup: $(head -n 3 marked)"
    else
        skip "contents of the corpus: no corpus at $corpus_all"
    fi
    ;;

batch)
    mkdir in other
    cp "$src/examples/sample.wiki" in/sample.wiki
    cp doc.wiki in/doc.wiki
    printf '== Überblick ==\n* ein [[Punkt]]\r\n' >in/uni.wiki
    : >in/empty.wiki
    printf 'plain' >in/noext
    i=1
    while [ $i -le 12 ]; do
        { printf '== Part %s ==\n' $i; head -n $((i * 3)) "$src/examples/sample.wiki"; } >in/part$i.wiki
        i=$((i + 1))
    done
    set -- in/*
    for mode in html links headings page; do
        case $mode in
        html) opts="" ext=html ;;
        page) opts="-s --toc" ext=html ;;
        *) opts="-t $mode" ext=json ;;
        esac
        # shellcheck disable=SC2086
        run $opts -j 3 --output-dir "out-$mode/sub" "$@"; status "batch $mode" 0
        [ -s err ] && fail "batch $mode: messages on a non-terminal: $(cat err)"
        for f in "$@"; do
            name=$(basename "$f"); name=${name%.*}
            # shellcheck disable=SC2086
            "$tool" $opts "$f" >single
            same_file "batch $mode of $f equals its single conversion" "out-$mode/sub/$name.$ext" single
        done
    done
    [ "$(ls out-html/sub | wc -l)" -eq $# ] || fail "batch: $(ls out-html/sub | wc -l) outputs for $# inputs"
    run -j 1 --output-dir out-one "$@"; status "-j 1" 0
    for f in out-html/sub/*; do same_file "-j 1 equals -j 3" "out-one/${f##*/}" "$f"; done

    cp doc.wiki other/doc.txt
    run --output-dir clash in/doc.wiki other/doc.txt; status "two inputs, one output name" 2
    has "clash names both" err 'in/doc.wiki and other/doc.txt would both be written to clash/doc.html'

    mkdir unreadable
    run --output-dir partial in/doc.wiki missing.wiki unreadable in/uni.wiki; status "batch with bad inputs" 1
    has "batch missing file" err 'tarnwick-wikitext: missing.wiki: No such file or directory'
    has "batch folder as input" err 'tarnwick-wikitext: unreadable: Is a directory'
    [ -e partial/doc.html ] && [ -e partial/uni.html ] || fail "batch: a bad input stopped the good ones"
    [ -e partial/missing.html ] && fail "batch: a missing input was written"

    # On a terminal, a progress line counts the files.
    if command -v script >/dev/null 2>&1; then
        script -qec "'$tool' --output-dir tty in/doc.wiki in/uni.wiki" /dev/null >tty.log 2>&1
        has "progress line on a terminal" tty.log '2/2 files'
        has "progress line on a terminal" tty.log 'MB/s'
    fi
    ;;

options)
    # Each option gives what the library returns for it, byte for byte. An
    # option the library does not take (yet) is a usage error that passes on
    # the library's message; those checks say SKIP for the byte comparison.
    cp "$src/examples/sample.wiki" opt.wiki
    cat >>opt.wiki <<'EOF'
[[Main Page]] [[a b#Sec x|s]] [[../up]] [[Café?q=1&x]] [[a"b]] [[#Local]]
<b>open <i>cross</b> close</i> </span> [[x|[[y]]]]
<span style="position:fixed;top:0" onmouseover=x class="c" title="t">s</span>
[http://example.com/ ext] http://example.org/bare
EOF
    set -f
    # tool options | flags | link template | rel | format
    while IFS='|' read -r args flags tmpl rel format; do
        # shellcheck disable=SC2086
        run $args opt.wiki
        if "$render_ref" "$format" "$flags" "$tmpl" "$rel" opt.wiki >want 2>why; then
            status "$args" 0
            same_file "$args gives the library's output" out want
        else
            status "$args, which the library does not take" 2
            has "$args: the library's message" err "$(cat why)"
            skip "$args: the library does not take these options yet ($(cat why))"
        fi
    done <<'EOF'
--encode-targets|1|-|-|0
--balance|2|-|-|0
--safe-attributes|4|-|-|0
--safe|7|-|-|0
--encode-targets --balance --safe-attributes|7|-|-|0
--link-template /w/index.php?title=$1|0|/w/index.php?title=$1|-|0
--link-template=./$1.html --encode-targets|1|./$1.html|-|0
--rel noopener|0|-|noopener|0
--rel= --safe|7|-||0
--extended|8|-|-|0
-t text --extended|8|-|-|3
-t templates --extended|8|-|-|4
-t categories --extended|8|-|-|5
-t page --extended|8|-|-|6
-t links --encode-targets|1|-|-|1
-t links --safe|7|-|-|1
-t headings --safe --extended|15|-|-|2
EOF
    set +f

    # A link template without $1 is the library's to refuse: exit 2, its
    # message, and no output file created.
    run -o refused.html --link-template /wiki/ doc.wiki; status "template without \$1" 2
    "$render_ref" 0 0 /wiki/ - doc.wiki >/dev/null 2>why
    has "template without \$1: the library's message" err "$(cat why)"
    [ -e refused.html ] && fail "refused options still created the output file"

    # A standalone page keeps the fragment of its options as it is.
    if takes 0 $SAFE; then
        run -s --safe opt.wiki; status "-s --safe" 0
        sed '1,/^<main>$/d; /^<\/main>$/,$d' out >inside
        "$render_ref" 0 $SAFE - - opt.wiki >want
        same_file "-s --safe holds the library's fragment" inside want
    else
        skip "-s --safe: the library does not take the safety options yet"
    fi
    ;;

safety)
    # An output that is one of the inputs is refused before anything is read
    # or written: the same path, a hard link, a symbolic link, standard input.
    cp doc.wiki keep.wiki
    ln keep.wiki hard.wiki
    ln -s keep.wiki soft.wiki
    for args in "-o keep.wiki keep.wiki" "-o hard.wiki keep.wiki" "-o soft.wiki keep.wiki" \
        "-o keep.wiki doc.wiki keep.wiki" "-s --output=./keep.wiki keep.wiki"; do
        # shellcheck disable=SC2086
        run $args; status "$args" 2
        has "$args names the input" err 'is the input keep.wiki'
        same_file "$args leaves the input alone" keep.wiki doc.wiki
    done
    "$tool" -o keep.wiki <keep.wiki >out 2>err; rc=$?; status "-o INPUT from standard input" 2
    has "-o INPUT from standard input" err 'is the input standard input'
    same_file "-o INPUT from standard input leaves it alone" keep.wiki doc.wiki
    [ -L soft.wiki ] || fail "the symbolic link was replaced"
    "$tool" -o - <keep.wiki >out 2>err; rc=$?; status "-o - from standard input" 0
    expect "-o - writes standard output" out "$doc_html"
    # In a batch each output is checked against every input: d/p.html is a
    # wikitext file whose own output would be d/p.html.
    mkdir d
    cp doc.wiki d/p.html
    cp doc.wiki q.wiki
    run -d d q.wiki d/p.html; status "batch output is an input" 2
    has "batch output is an input" err 'the output d/p.html is the input d/p.html'
    same_file "batch leaves its input alone" d/p.html doc.wiki
    [ -e d/q.html ] && fail "a refused batch wrote another output"

    # Special files are written in place, never renamed over.
    run -o /dev/null doc.wiki; status "-o /dev/null" 0
    [ -c /dev/null ] || fail "/dev/null is no longer a device"
    mkfifo fifo
    cat fifo >from-fifo &
    reader=$!
    run -o fifo doc.wiki; status "-o FIFO" 0
    wait $reader
    [ -p fifo ] || fail "the FIFO was replaced"
    expect "-o FIFO" from-fifo "$doc_html"
    run -o /dev/full doc.wiki; status "-o /dev/full" 1
    has "-o /dev/full" err '/dev/full: No space left on device'
    [ -c /dev/full ] || fail "/dev/full is no longer a device"

    # A replaced file keeps its permissions; a link to it stays a link.
    printf 'old' >mode.html
    chmod 640 mode.html
    ln -s mode.html link.html
    run -o link.html doc.wiki; status "-o LINK" 0
    [ -L link.html ] || fail "-o LINK replaced the link"
    expect "-o LINK writes the file linked to" mode.html "$doc_html"
    [ "$(stat -c %a mode.html)" = 640 ] || fail "the replaced file's permissions are $(stat -c %a mode.html)"
    ls -A | grep -q '\.tmp$' && fail "a temporary file was left: $(ls -A | grep '\.tmp$')"

    # A full disk: the old file stays whole and no temporary is left, in
    # single and batch mode. A small tmpfs needs root.
    mkdir small
    if [ "$(id -u)" -eq 0 ] && mount -t tmpfs -o size=64k tmpfs small 2>/dev/null; then
        trap 'umount "$work/small" 2>/dev/null' EXIT
        awk 'BEGIN { for (i = 0; i < 4000; i++) print "== Part " i " ==" }' >long.wiki
        printf 'OLD' >small/out.html
        run -o small/out.html long.wiki; status "full disk" 1
        has "full disk" err 'small/out.html: No space left on device'
        expect "full disk keeps the old file" small/out.html 'OLD'
        run -o small/new.html long.wiki; status "full disk, new file" 1
        [ -e small/new.html ] && fail "full disk left a new, partial file"
        # One thread, so that the long page's temporary file is gone before
        # the small page is written: with two, the small one may meet the
        # full disk too.
        run -d small -j 1 long.wiki doc.wiki; status "full disk in a batch" 1
        has "full disk in a batch" err 'small/long.html: No space left on device'
        [ -e small/long.html ] && fail "full disk in a batch left a partial file"
        expect "full disk in a batch: the small output is written" small/doc.html "$doc_html"
        [ "$(ls -A small | sort | tr '\n' ' ')" = "doc.html out.html " ] ||
            fail "full disk left files behind: $(ls -A small)"
        umount small
        trap - EXIT
    else
        skip "full disk on a small tmpfs: mounting one needs root"
    fi
    ;;

limits)
    if [ "${LIMITS_OK:-1}" != 1 ]; then
        echo "SKIP: memory limits do not go with AddressSanitizer"
        exit 77
    fi
    # Memory running out, at whatever point, gives a message and status 1,
    # never an abort, and leaves the old output as it was.
    # The limits span reading, rendering, the contents and writing.
    awk 'BEGIN { for (i = 0; i < 30000; i++) printf "== Heading %d [[Link %d]] ==\ntext %d\n", i, i, i }' >big.wiki
    "$tool" -s --toc -o want.html big.wiki 2>err || fail "-s --toc without a limit: $(cat err)"
    short=0 enough=0
    # Steps of 500 KB, since where each stage runs out moves with the build.
    for kb in 6000 $(seq 10000 500 30000) 40000 80000; do
        printf 'OLD' >got.html
        (ulimit -v $kb && exec "$tool" -s --toc -o got.html big.wiki) >out 2>err
        rc=$?
        case $rc in
        0) enough=1; same_file "ulimit -v $kb: complete page" got.html want.html ;;
        1) short=1
           grep -q 'out of memory\|Cannot allocate memory' err || fail "ulimit -v $kb: message $(cat err)"
           expect "ulimit -v $kb: the old output is kept" got.html 'OLD' ;;
        127) grep -q 'error while loading shared libraries' err ||
                 fail "ulimit -v $kb: exit status $rc ($(cat err))" ;;   # too small to start at all
        *) fail "ulimit -v $kb: exit status $rc ($(cat err))" ;;
        esac
        ls -A | grep -q '\.tmp$' && fail "ulimit -v $kb: a temporary file was left"
    done
    [ $short = 1 ] || fail "no memory limit was too small: the checks above tested nothing"
    [ $enough = 1 ] || fail "no memory limit was enough"

    # Fewer threads than -j asks for: the batch goes on with those that
    # started, says so once, and converts every file. Each thread's stack
    # takes 8 MB of address space, so a limit of it leaves room for few; as
    # the threads that start fill the address space, a file may then run out
    # of memory, which must be reported for that file alone.
    mkdir in
    i=1
    while [ $i -le 80 ]; do
        printf '== Page %s ==\n[[Page %s]]\n' $i $((i + 1)) >in/p$i.wiki
        i=$((i + 1))
    done
    (ulimit -v 150000 && exec "$tool" -j 64 -d out-v in/*.wiki) >out 2>err
    rc=$?
    [ $rc -le 1 ] || fail "-j 64 under ulimit -v: exit status $rc ($(cat err))"
    [ "$(grep -c 'threads' err)" -eq 1 ] || fail "-j 64 under ulimit -v: not one line on threads: $(cat err)"
    for f in in/*.wiki; do
        name=${f##*/}
        [ -e "out-v/${name%.wiki}.html" ] || grep -qF "$f: out of memory" err ||
            fail "-j 64 under ulimit -v: $f neither converted nor reported"
    done
    "$tool" in/p80.wiki >single
    [ -e out-v/p80.html ] && same_file "-j 64 under ulimit -v: output" out-v/p80.html single

    # The same with a limit of processes (bash's ulimit -u). Root is exempt
    # from it, so the tool runs as nobody then.
    chmod 777 .
    as_user=""
    if [ "$(id -u)" -eq 0 ]; then
        command -v setpriv >/dev/null && as_user="setpriv --reuid=65534 --regid=65534 --clear-groups"
    fi
    if ! command -v bash >/dev/null; then
        skip "ulimit -u: bash is missing"
    elif [ "$(id -u)" -ne 0 ] || [ -n "$as_user" ]; then
        # shellcheck disable=SC2086
        $as_user bash -c "ulimit -u 12 && exec '$tool' -j 64 -d '$work/out-u' '$work'/in/*.wiki" >out 2>err
        rc=$?
        if grep -q 'threads' err; then
            status "-j 64 under ulimit -u" 0
            [ "$(ls out-u | wc -l)" -eq 80 ] || fail "-j 64 under ulimit -u: $(ls out-u | wc -l) outputs of 80"
        elif [ $rc -eq 0 ]; then
            skip "ulimit -u does not bind here: all 64 threads started"
        else
            fail "-j 64 under ulimit -u: exit status $rc ($(cat err))"
        fi
    else
        skip "ulimit -u: root is exempt from it and setpriv is missing"
    fi
    ;;

site)
    if ! takes 0 $SAFE './$1.html'; then
        echo "SKIP: the library does not take the safety options and link templates yet"
        exit 77
    fi
    if [ -z "${PYTHON:-}" ]; then
        echo "SKIP: the site's links are followed with Python 3, which is missing"
        exit 77
    fi
    # Pages that link to each other, in names that need care: spaces, a
    # colon (not an address scheme), a '?', '/' (subfolders, one and two
    # deep), sections, and a page that does not exist (a red link).
    mkdir pages
    cat >pages/Main_Page.wiki <<'EOF'
= Welcome =
See [[Help:Contents]], [[AC/DC|the band]], [[AC/DC/Live at Donington|live]],
[[Main Page#History|our history]], [[Why?]], [[#History]] and [[Nowhere]].
Also [[50%]], [[R&D notes#Early years]] and [[R&amp;D notes|the same]].
== History ==
Founded [[Main_Page|here]]. [http://example.com/ Outside]
EOF
    cat >pages/Help:Contents.wiki <<'EOF'
== Top ==
Back to [[Main Page]]; the [[AC/DC#Albums|albums]]; [[Help:Contents#Top|top]].
EOF
    cat >pages/AC%2FDC.wiki <<'EOF'
== Albums ==
[[Main Page]], [[Help:Contents#Top]], [[AC/DC/Live at Donington]], [[Why?]].
EOF
    cat >'pages/AC%2FDC%2FLive_at_Donington.wiki' <<'EOF'
== Songs ==
[[AC/DC#Albums|Up]], [[Main Page#History]], [[Missing/Page]].
EOF
    printf '[[Main Page]] [[Help:Contents]]\n' >'pages/Why%3F.wiki'
    printf '[[Main Page]] [[R&D notes]]\n' >'pages/50%25.wiki'
    printf '== Early years ==\n[[50%%]] [[Main Page]]\n' >'pages/R&D_notes.wiki'
    run -s --site -j 2 --output-dir site pages/*.wiki; status "--site" 0
    for f in index.html Main_Page.html Help:Contents.html AC/DC.html 'AC/DC/Live_at_Donington.html' 'Why?.html' \
        '50%.html' 'R&D_notes.html'; do
        [ -f "site/$f" ] || fail "--site: no site/$f"
    done
    [ "$(find site -type f | wc -l)" -eq 8 ] || fail "--site wrote $(find site -type f | wc -l) files, want 8"
    "$PYTHON" "$src/tests/cli/check_site.py" site 30 >check 2>&1 || fail "--site links: $(cat check)"
    cat check
    has "--site titles pages by name" site/AC/DC.html '<title>AC/DC</title>'
    has "--site index lists the pages by title" site/index.html '<li><a href="./AC/DC/Live_at_Donington.html">AC/DC/Live at Donington</a></li>'
    grep -q 'href="/wiki/' site/Main_Page.html && fail "--site: links into /wiki/"
    grep -q 'class="new"' site/Main_Page.html || fail "--site: no red link for a missing page"

    # Names that no file can have, and a page that would be the index.
    printf 'x' >'pages/%2E%2E.wiki'
    run -s --site --output-dir site2 'pages/%2E%2E.wiki'; status "--site with the page '..'" 2
    [ -e site2 ] && fail "--site with a bad name created the folder"
    printf 'x' >index.wiki
    run -s --site --output-dir site3 index.wiki; status "--site with a page named index" 2
    printf 'x' >'Main%20Page.wiki'
    run -s --site --output-dir site4 pages/Main_Page.wiki 'Main%20Page.wiki'; status "--site, one page in two files" 2
    has "--site, one page in two files" err 'would both be written to site4/Main_Page.html'
    ;;

*)
    echo "unknown group $group"
    exit 2
    ;;
esac

[ "$failures" -eq 0 ] || { echo "$failures check(s) failed"; exit 1; }
if [ "$skipped" -gt 0 ]; then
    echo "all $group checks that ran passed; $skipped skipped"
else
    echo "all $group checks passed"
fi
