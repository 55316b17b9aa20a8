// c.regex: the POSIX extended regular expression matcher behind `match`.
//
// Our own rather than the C library's, so that a pattern means the same on
// every C library and every match is bounded whatever the pattern and the
// subject. A pattern compiles to a program of at most kEreMaxProgram
// instructions (counted repetitions are expanded, so `(a{255}){255}` is
// refused at compile time); matching runs every live thread of the program
// over the subject in one pass: time linear in the subject times the program
// size, memory proportional to the program alone. Back-references, which
// need backtracking, are refused.
//
// Matching semantics: the leftmost match, and of those starting there the
// longest. Where that match can be split in several ways, the first group
// takes the split that the pattern read greedily from left to right gives:
// earlier alternatives before later ones, each repetition as many times as
// the match allows; a repeated group reports its last iteration.
//
// No Lua here: the module calls these from plain C data.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr int kEreMaxProgram = 4096;  // instructions, after expanding repetitions
constexpr int kEreDupMax = 255;       // largest count in {m,n}, as RE_DUP_MAX
constexpr int kEreMaxDepth = 64;      // parentheses nested in each other
constexpr size_t kEreNone = static_cast<size_t>(-1);

struct EreProgram;

struct EreMatch {
    size_t start, end;              // the whole match: [start, end)
    size_t group_start, group_end;  // the first group; kEreNone when it took no part
};

// Compiles `pattern` (`len` bytes). Null on failure, with the reason in
// `err` (cut to errsize - 1 characters). The program carries its own
// matching workspace: one thread uses it at a time.
EreProgram *ere_compile(const char *pattern, size_t len, char *err, size_t errsize);

// Number of parenthesised groups in the pattern.
size_t ere_groups(const EreProgram *prog);

// Matches `subject` (`len` bytes). 1 with the match in *m, 0 when there is
// none, -1 when the subject is too long to index (4 GiB or more).
int ere_exec(EreProgram *prog, const char *subject, size_t len, EreMatch *m);

void ere_free(EreProgram *prog);
