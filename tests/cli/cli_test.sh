#!/bin/sh
# Runs tarnwick-wikitext as a process and checks its output bytes, messages
# and exit statuses. One group of checks per call:
#   cli_test.sh GROUP TOOL EXAMPLE SOURCE_DIR WORK_DIR
# GROUP is modes, errors, standalone or batch. EXAMPLE is the example program,
# which prints what the library returns, for byte comparisons.
set -u
group=$1 tool=$2 example=$3 src=$4 work=$5

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
    printf "$3" >expected.tmp
    same_file "$1" "$2" expected.tmp
}

# status WHAT WANT: the last run exited with WANT.
status() {
    [ "$rc" -eq "$2" ] || fail "$1: exit status $rc, want $2 (stderr: $(cat err))"
}

# has WHAT FILE TEXT: FILE holds the line fragment TEXT.
has() {
    grep -qF -- "$3" "$2" || fail "$1: no '$3' in $2"
}

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
    "$example" "$src/examples/sample.wiki" >library.html
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

    printf 'abc\000def' >nul.wiki
    run nul.wiki; status "NUL byte" 1
    expect "NUL byte message names the offset" err \
        'tarnwick-wikitext: nul.wiki: holds a NUL byte at offset 3; refused\n'
    expect "NUL byte: no output" out ''
    "$tool" <nul.wiki >out 2>err; rc=$?; status "NUL byte on stdin" 1
    has "NUL byte on stdin" err 'standard input: holds a NUL byte at offset 3'

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
EOF
    run -t pdf doc.wiki
    has "bad format names it" err "'pdf'"
    [ -e d ] && fail "a usage error created the output directory"

    run --help; status "--help" 0
    for option in -t --to -s --standalone --title --toc -o --output -d --output-dir -j --jobs -h --help --version; do
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
    [ "$(tail -n 1 out)" = "</html>" ] || fail "-s: page does not end with </html>"
    sed '1,/^<main>$/d; /^<\/main>$/,$d' out >inside
    expect "-s keeps the fragment as it is" inside "$doc_html"
    grep -q '<nav' out && fail "-s without --toc has a table of contents"

    # The title: the first heading's raw text, HTML-escaped.
    printf "no heading\n= =\n== ''Tom'' & <b>Jerry</b> ==\n== Later ==\n" >t.wiki
    run -s t.wiki
    has "title from the first heading with text" out "<title>''Tom'' &amp; &lt;b&gt;Jerry&lt;/b&gt;</title>"
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

    # The table of contents nests by level and decodes the heading list's
    # escapes before escaping for HTML.
    printf '= Top =\n== A b ==\n=== Sub ===\n== say "hi" \\ ==\ntext\n' >toc.wiki
    run -s --toc toc.wiki; status "--toc" 0
    sed -n '/^<nav/,/^<\/nav>/p' out >nav
    expect "--toc" nav '<nav class="toc">\n<p>Contents</p>\n<ul>\n<li><a href="#Top">Top</a>\n<ul>\n<li><a href="#A_b">A b</a>\n<ul>\n<li><a href="#Sub">Sub</a></li>\n</ul>\n</li>\n<li><a href="#say_hi_\\">say &quot;hi&quot; \\</a></li>\n</ul>\n</li>\n</ul>\n</nav>\n'
    has "--toc link target exists" out '<h2 id="say_hi_\">'
    printf '=== c ===\n== b ==\n==== d ====\n=== e ===\n' >skip.wiki
    run -s --toc skip.wiki
    sed -n '/^<ul>/,/^<\/nav>/p' out >nav
    expect "--toc with skipped and falling levels" nav '<ul>\n<li><a href="#c">c</a></li>\n<li><a href="#b">b</a>\n<ul>\n<li><a href="#d">d</a></li>\n<li><a href="#e">e</a></li>\n</ul>\n</li>\n</ul>\n</nav>\n'
    printf 'no headings\n' >plain.wiki
    run -s --toc plain.wiki
    grep -q '<nav' out && fail "--toc without headings has a table of contents"
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

    printf 'a\000b' >in/nul.wiki
    run --output-dir partial in/doc.wiki missing.wiki in/nul.wiki in/uni.wiki; status "batch with bad inputs" 1
    has "batch missing file" err 'tarnwick-wikitext: missing.wiki: No such file or directory'
    has "batch NUL byte" err 'tarnwick-wikitext: in/nul.wiki: holds a NUL byte at offset 1; refused'
    [ -e partial/doc.html ] && [ -e partial/uni.html ] || fail "batch: a bad input stopped the good ones"
    [ -e partial/nul.html ] && fail "batch: refused input was written"

    # On a terminal, a progress line counts the files.
    if command -v script >/dev/null 2>&1; then
        script -qec "'$tool' --output-dir tty in/doc.wiki in/uni.wiki" /dev/null >tty.log 2>&1
        has "progress line on a terminal" tty.log '2/2 files'
        has "progress line on a terminal" tty.log 'MB/s'
    fi
    ;;

*)
    echo "unknown group $group"
    exit 2
    ;;
esac

[ "$failures" -eq 0 ] || { echo "$failures check(s) failed"; exit 1; }
echo "all $group checks passed"
