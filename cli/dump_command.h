// The dump command of tarnwick-wikitext: wiki XML exports to JSON Lines.
#pragma once

// Runs `tarnwick-wikitext dump ...`; argv[0] is "dump". Returns the exit status.
int run_dump(int argc, char **argv);
