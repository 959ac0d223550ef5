/* A program built against an installed copy of the library, the way another
   project would build it: through pkg-config or find_package. */
#include <stdio.h>
#include <string.h>

#include <wtcore.h>

int main(void)
{
    const char *doc = "== Intro ==\n'''Bold''' and [[Main Page|home]]\n";
    const char *want_html =
        "<h2 id=\"Intro\">Intro</h2>\n<p><b>Bold</b> and <a href=\"/wiki/Main_Page\">home</a></p>\n";
    const char *want_links = "[{\"target\":\"Main Page\",\"text\":\"home\"}]";

    int ok = strcmp(wtcore_version(), "1.0.0") == 0;
    ok = ok && strcmp(wtcore_to_html(doc, NULL), want_html) == 0;
    char *links = wtcore_extract_links_json_r(doc);
    ok = ok && links && strcmp(links, want_links) == 0;
    wtcore_free(links);
    if (!ok) {
        fputs("consumer: unexpected result from the installed library\n", stderr);
        return 1;
    }
    printf("consumer: tarnwick-wikitext-core %s works\n", wtcore_version());
    return 0;
}
