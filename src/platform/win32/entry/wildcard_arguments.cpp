// Linked into the Windows program only (not into the library, whose unused
// objects the linker would leave out): asks the MinGW-w64 start-up code to
// expand wildcards in the arguments, as Windows users expect of a command-line
// tool, so that "vantorel *.wav" gets the matching names. A pattern that
// matches nothing stays as it was typed. The start-up code reads this flag
// once, before main.

extern "C" {
int _dowildcard = -1;
}
