// c.regex: a POSIX extended regular expression compiler to a small
// instruction program, and a one-pass simulation of that program (every
// thread advances on every byte, so no input can make it backtrack).
#include "modules/regex_ere.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

enum Op : uint8_t {
    OP_CHAR,    // one byte: c
    OP_ANY,     // any byte
    OP_SET,     // a byte of sets[x]
    OP_BOL,     // start of the subject
    OP_EOL,     // end of the subject
    OP_WORDB,   // \b: between a word byte and a non-word byte (or an end)
    OP_NWORDB,  // \B: not there
    OP_BOW,     // \<: a word begins
    OP_EOW,     // \>: a word ends
    OP_SPLIT,   // go on at x, and (less preferred) at y
    OP_JMP,     // go on at x
    OP_SAVE,    // record the position: c 0 opens, 1 closes the first group
    OP_MATCH,
};

struct Inst {
    uint8_t op;
    uint8_t c;
    int32_t x;
    int32_t y;
};

struct ByteSet {
    uint32_t w[8];
};

struct Thread {
    uint32_t pc, start, g0, g1;
};

struct Pending {  // a less preferred branch still to follow
    uint32_t pc, g0, g1;
};

constexpr uint32_t kUnset = UINT32_MAX;

}  // namespace

struct EreProgram {
    int ninst;
    size_t ngroups;
    bool use_first;  // a match can only start at a byte of `first`
    ByteSet first;
    const Inst *code;
    const ByteSet *sets;
    // Workspace of one match.
    Thread *clist, *nlist;
    uint32_t *mark;  // generation in which each instruction was last visited
    uint32_t gen;
    Pending *stack;
};

namespace {

// ---- byte sets ----------------------------------------------------------

void set_add(ByteSet *s, unsigned c) { s->w[c >> 5] |= 1u << (c & 31); }

bool set_has(const ByteSet *s, unsigned c) { return (s->w[c >> 5] >> (c & 31)) & 1u; }

bool is_word(unsigned c)
{
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_';
}

// The character classes of the C locale (ASCII only, whatever the process
// locale is).
bool class_has(int cls, unsigned c)
{
    bool upper = c >= 'A' && c <= 'Z';
    bool lower = c >= 'a' && c <= 'z';
    bool digit = c >= '0' && c <= '9';
    bool graph = c >= 33 && c <= 126;
    switch (cls) {
    case 0: return upper || lower;                                          // alpha
    case 1: return digit;                                                   // digit
    case 2: return upper || lower || digit;                                 // alnum
    case 3: return upper;                                                   // upper
    case 4: return lower;                                                   // lower
    case 5: return c == ' ' || (c >= '\t' && c <= '\r');                    // space
    case 6: return c == ' ' || c == '\t';                                   // blank
    case 7: return graph && !upper && !lower && !digit;                     // punct
    case 8: return c >= 32 && c <= 126;                                     // print
    case 9: return graph;                                                   // graph
    case 10: return c < 32 || c == 127;                                     // cntrl
    case 11: return digit || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');  // xdigit
    }
    return false;
}

const char *const kClassNames[] = {"alpha", "digit", "alnum", "upper", "lower", "space",
                                   "blank", "punct", "print", "graph", "cntrl", "xdigit"};

void set_add_class(ByteSet *s, int cls)
{
    for (unsigned c = 0; c < 256; c++)
        if (class_has(cls, c))
            set_add(s, c);
}

// ---- compiler -------------------------------------------------------------

struct Compiler {
    const unsigned char *p, *end;
    Inst *code;
    int len, cap;
    ByteSet *sets;
    int nsets, setcap;
    size_t ngroups;
    int depth;
    char *err;
    size_t errsize;
    bool failed;
};

bool fail(Compiler *C, const char *fmt, ...)
{
    if (!C->failed) {
        C->failed = true;
        va_list ap;
        va_start(ap, fmt);
        vsnprintf(C->err, C->errsize, fmt, ap);
        va_end(ap);
    }
    return false;
}

bool too_large(Compiler *C)
{
    return fail(C, "pattern too large (more than %d instructions once repetitions are expanded)",
                kEreMaxProgram);
}

bool has_targets(uint8_t op) { return op == OP_SPLIT || op == OP_JMP; }

// Room for `more` instructions.
bool reserve(Compiler *C, int more)
{
    if (more > kEreMaxProgram - C->len)
        return too_large(C);
    if (C->len + more <= C->cap)
        return true;
    int cap = C->cap ? C->cap : 64;
    while (cap < C->len + more)
        cap *= 2;
    if (cap > kEreMaxProgram)
        cap = kEreMaxProgram;
    Inst *code = static_cast<Inst *>(realloc(C->code, static_cast<size_t>(cap) * sizeof(Inst)));
    if (!code)
        return fail(C, "out of memory");
    C->code = code;
    C->cap = cap;
    return true;
}

bool emit(Compiler *C, uint8_t op, uint8_t c, int32_t x, int32_t y)
{
    if (!reserve(C, 1))
        return false;
    C->code[C->len++] = Inst{op, c, x, y};
    return true;
}

// Makes room for `k` instructions at `at`, moving the code after it; jumps
// in the moved code into it or to its end move with it.
bool insert(Compiler *C, int at, int k)
{
    if (!reserve(C, k))
        return false;
    memmove(C->code + at + k, C->code + at, static_cast<size_t>(C->len - at) * sizeof(Inst));
    C->len += k;
    for (int i = at + k; i < C->len; i++) {
        Inst *in = &C->code[i];
        if (has_targets(in->op)) {
            if (in->x >= at)
                in->x += k;
            if (in->op == OP_SPLIT && in->y >= at)
                in->y += k;
        }
    }
    return true;
}

// Appends a copy of the `f` instructions at `src` (a complete fragment:
// its jumps stay within it or go to its end).
void copy_fragment(Compiler *C, int src, int f)
{
    int delta = C->len - src;
    for (int i = 0; i < f; i++) {
        Inst in = C->code[src + i];
        if (has_targets(in.op)) {
            in.x += delta;
            if (in.op == OP_SPLIT)
                in.y += delta;
        }
        C->code[C->len++] = in;
    }
}

// Points every jump of the chain (linked through x, ending at -1) at `to`.
void patch_jumps(Compiler *C, int chain, int to)
{
    while (chain >= 0) {
        int next = C->code[chain].x;
        C->code[chain].x = to;
        chain = next;
    }
}

// The fragment from `a` to the end, repeated m to n times (n < 0: no upper
// bound). Greedy: taking an optional copy is preferred to leaving it out.
bool repeat(Compiler *C, int a, int m, int n)
{
    int f = C->len - a;
    long long need;
    if (n < 0)
        need = m == 0 ? f + 2 : static_cast<long long>(m) * f + 1;
    else
        need = static_cast<long long>(n) * f + (n - m);
    if (need > kEreMaxProgram - a)
        return too_large(C);
    if (!reserve(C, static_cast<int>(need - f)))
        return false;

    if (n == 0) {
        C->len = a;
    } else if (n < 0 && m == 0) {  // L: split L+1, out; e; jmp L; out:
        insert(C, a, 1);
        C->code[a] = Inst{OP_SPLIT, 0, a + 1, 0};
        emit(C, OP_JMP, 0, a, 0);
        C->code[a].y = C->len;
    } else if (n < 0) {  // e ... e (m times), the last one looping: L: e; split L, out
        int last = a;
        for (int k = 1; k < m; k++) {
            last = C->len;
            copy_fragment(C, a, f);
        }
        emit(C, OP_SPLIT, 0, last, C->len + 1);
    } else {
        // e ... e (m times), then k = n - m optional copies nested to the
        // left, (((e? e)? e)? ...), as glibc expands them: k splits in a
        // row, split t leaving for the end of copy k - t. So more
        // iterations are preferred to longer early ones.
        int k = n - m;
        int splits = C->len;
        if (m == 0) {  // the fragment itself is the first optional copy
            insert(C, a, k);
            splits = a;
        } else {
            for (int j = 1; j < m; j++)
                copy_fragment(C, a, f);
            splits = C->len;
            C->len += k;
        }
        int base = splits + k;
        for (int j = m == 0 ? 1 : 0; j < k; j++)
            copy_fragment(C, m == 0 ? base : a, f);
        for (int t = 0; t < k; t++)
            C->code[splits + t] = Inst{OP_SPLIT, 0, splits + t + 1, base + (k - t) * f};
    }
    return true;
}

bool parse_regex(Compiler *C);

bool at(Compiler *C, char c) { return C->p < C->end && *C->p == c; }

bool is_digit(unsigned c) { return c >= '0' && c <= '9'; }

// A count of {m,n}; at most kEreDupMax.
bool parse_count(Compiler *C, int *out)
{
    if (C->p >= C->end || !is_digit(*C->p))
        return fail(C, "invalid repetition count");
    long v = 0;
    while (C->p < C->end && is_digit(*C->p)) {
        if (v <= kEreDupMax)
            v = v * 10 + (*C->p - '0');
        C->p++;
    }
    if (v > kEreDupMax)
        return fail(C, "repetition count above %d", kEreDupMax);
    *out = static_cast<int>(v);
    return true;
}

// One of * + ? {m} {m,} {m,n}, applied to the fragment starting at `a`.
bool parse_quantifier(Compiler *C, int a)
{
    int m = 0;
    int n = -1;
    switch (*C->p++) {
    case '*': break;
    case '+': m = 1; break;
    case '?': n = 1; break;
    default:  // '{'
        if (!parse_count(C, &m))
            return false;
        n = m;
        if (at(C, ',')) {
            C->p++;
            n = -1;
            if (!at(C, '}') && !parse_count(C, &n))
                return false;
        }
        if (!at(C, '}'))
            return fail(C, "invalid repetition count");
        C->p++;
        if (n >= 0 && m > n)
            return fail(C, "invalid repetition count");
    }
    return repeat(C, a, m, n);
}

bool new_set(Compiler *C, const ByteSet *s)
{
    if (C->nsets >= kEreMaxProgram)
        return too_large(C);
    if (C->nsets == C->setcap) {
        int cap = C->setcap ? C->setcap * 2 : 8;
        ByteSet *sets = static_cast<ByteSet *>(realloc(C->sets, static_cast<size_t>(cap) * sizeof(ByteSet)));
        if (!sets)
            return fail(C, "out of memory");
        C->sets = sets;
        C->setcap = cap;
    }
    C->sets[C->nsets] = *s;
    return emit(C, OP_SET, 0, C->nsets++, 0);
}

// After "[." or "[=": one byte and its closing ".]" or "=]".
bool parse_collating(Compiler *C, unsigned *out)
{
    unsigned char kind = C->p[1];
    const unsigned char *q = C->p + 2;
    const unsigned char *close = q;
    while (close + 1 < C->end && !(close[0] == kind && close[1] == ']'))
        close++;
    if (close + 1 >= C->end)
        return fail(C, "unmatched [");
    if (close - q != 1)  // the C locale has no multi-byte collating elements
        return fail(C, "unknown collating element");
    *out = *q;
    C->p = close + 2;
    return true;
}

// After "[:": a class name and ":]".
bool parse_class(Compiler *C, ByteSet *s)
{
    const unsigned char *q = C->p + 2;
    const unsigned char *close = q;
    while (close + 1 < C->end && !(close[0] == ':' && close[1] == ']'))
        close++;
    if (close + 1 >= C->end)
        return fail(C, "unmatched [");
    size_t n = static_cast<size_t>(close - q);
    for (int cls = 0; cls < 12; cls++) {
        if (strlen(kClassNames[cls]) == n && memcmp(kClassNames[cls], q, n) == 0) {
            set_add_class(s, cls);
            C->p = close + 2;
            return true;
        }
    }
    return fail(C, "unknown character class");
}

// A bracket expression, after its "[".
bool parse_bracket(Compiler *C)
{
    ByteSet s = {};
    bool negate = at(C, '^');
    if (negate)
        C->p++;
    for (bool first = true;; first = false) {
        if (C->p >= C->end)
            return fail(C, "unmatched [");
        unsigned c = *C->p;
        if (c == ']' && !first) {
            C->p++;
            break;
        }
        unsigned lo;
        bool opener = c == '[' && C->p + 1 < C->end;
        if (opener && C->p[1] == ':') {
            if (!parse_class(C, &s))
                return false;
            if (C->p + 1 < C->end && C->p[0] == '-' && C->p[1] != ']')
                return fail(C, "invalid range end");
            continue;
        }
        if (opener && (C->p[1] == '.' || C->p[1] == '=')) {
            if (!parse_collating(C, &lo))
                return false;
        } else {
            lo = c;
            C->p++;
        }
        if (C->p + 1 < C->end && C->p[0] == '-' && C->p[1] != ']') {
            C->p++;
            unsigned hi;
            if (C->p[0] == '[' && C->p + 1 < C->end && C->p[1] == '.') {
                if (!parse_collating(C, &hi))
                    return false;
            } else if (C->p[0] == '[' && C->p + 1 < C->end && (C->p[1] == ':' || C->p[1] == '=')) {
                return fail(C, "invalid range end");
            } else {
                hi = *C->p++;
            }
            if (hi < lo)
                return fail(C, "invalid range end");
            for (unsigned b = lo; b <= hi; b++)
                set_add(&s, b);
        } else {
            set_add(&s, lo);
        }
    }
    if (negate)
        for (uint32_t &w : s.w)
            w = ~w;
    return new_set(C, &s);
}

enum AtomKind { ATOM_FAILED, ATOM_PLAIN, ATOM_ASSERTION };

AtomKind parse_escape(Compiler *C)
{
    if (C->p >= C->end)
        return fail(C, "trailing backslash"), ATOM_FAILED;
    unsigned c = *C->p++;
    ByteSet s = {};
    switch (c) {
    case 'w':
    case 'W':
    case 's':
    case 'S':
        set_add_class(&s, c == 'w' || c == 'W' ? 2 : 5);
        if (c == 'w' || c == 'W')
            set_add(&s, '_');
        if (c == 'W' || c == 'S')
            for (uint32_t &w : s.w)
                w = ~w;
        return new_set(C, &s) ? ATOM_PLAIN : ATOM_FAILED;
    case 'b': return emit(C, OP_WORDB, 0, 0, 0) ? ATOM_ASSERTION : ATOM_FAILED;
    case 'B': return emit(C, OP_NWORDB, 0, 0, 0) ? ATOM_ASSERTION : ATOM_FAILED;
    case '<': return emit(C, OP_BOW, 0, 0, 0) ? ATOM_ASSERTION : ATOM_FAILED;
    case '>': return emit(C, OP_EOW, 0, 0, 0) ? ATOM_ASSERTION : ATOM_FAILED;
    }
    if (c >= '1' && c <= '9')
        return fail(C, "back-references are not supported"), ATOM_FAILED;
    if (is_word(c))  // C libraries disagree on what \d, \n, \t ... mean
        return fail(C, "unknown escape \\%c", c), ATOM_FAILED;
    return emit(C, OP_CHAR, static_cast<uint8_t>(c), 0, 0) ? ATOM_PLAIN : ATOM_FAILED;
}

AtomKind parse_group(Compiler *C)
{
    if (C->depth >= kEreMaxDepth)
        return fail(C, "parentheses nested deeper than %d", kEreMaxDepth), ATOM_FAILED;
    size_t group = ++C->ngroups;
    if (group == 1 && !emit(C, OP_SAVE, 0, 0, 0))
        return ATOM_FAILED;
    C->depth++;
    bool ok = parse_regex(C);
    C->depth--;
    if (!ok)
        return ATOM_FAILED;
    if (!at(C, ')'))
        return fail(C, "unmatched ("), ATOM_FAILED;
    C->p++;
    if (group == 1 && !emit(C, OP_SAVE, 1, 0, 0))
        return ATOM_FAILED;
    return ATOM_PLAIN;
}

AtomKind parse_atom(Compiler *C)
{
    unsigned c = *C->p++;
    switch (c) {
    case '*':
    case '+':
    case '?':
    case '{': return fail(C, "repetition operator without an operand"), ATOM_FAILED;
    case '(': return parse_group(C);
    case '[': return parse_bracket(C) ? ATOM_PLAIN : ATOM_FAILED;
    case '\\': return parse_escape(C);
    case '.': return emit(C, OP_ANY, 0, 0, 0) ? ATOM_PLAIN : ATOM_FAILED;
    case '^': return emit(C, OP_BOL, 0, 0, 0) ? ATOM_ASSERTION : ATOM_FAILED;
    case '$': return emit(C, OP_EOL, 0, 0, 0) ? ATOM_ASSERTION : ATOM_FAILED;
    }
    return emit(C, OP_CHAR, static_cast<uint8_t>(c), 0, 0) ? ATOM_PLAIN : ATOM_FAILED;
}

bool is_quantifier(unsigned c) { return c == '*' || c == '+' || c == '?' || c == '{'; }

bool parse_branch(Compiler *C)
{
    while (C->p < C->end && *C->p != '|' && *C->p != ')') {
        int a = C->len;
        AtomKind kind = parse_atom(C);
        if (kind == ATOM_FAILED)
            return false;
        while (C->p < C->end && is_quantifier(*C->p)) {
            if (kind == ATOM_ASSERTION)
                return fail(C, "repetition operator without an operand");
            if (!parse_quantifier(C, a))
                return false;
        }
    }
    return true;
}

// Branches separated by |: split to this branch or the rest, and a jump
// from the end of each branch but the last to the end of all.
bool parse_regex(Compiler *C)
{
    int jumps = -1;
    for (;;) {
        int b = C->len;
        if (!parse_branch(C))
            return false;
        if (!at(C, '|'))
            break;
        C->p++;
        if (!insert(C, b, 1))
            return false;
        C->code[b] = Inst{OP_SPLIT, 0, b + 1, 0};
        if (!emit(C, OP_JMP, 0, jumps, 0))
            return false;
        jumps = C->len - 1;
        C->code[b].y = C->len;
    }
    patch_jumps(C, jumps, C->len);
    return true;
}

// ---- matcher ------------------------------------------------------------

void next_gen(EreProgram *P)
{
    if (++P->gen == 0) {
        memset(P->mark, 0, static_cast<size_t>(P->ninst) * sizeof *P->mark);
        P->gen = 1;
    }
}

bool assertion_holds(uint8_t op, const unsigned char *s, size_t len, size_t pos)
{
    bool before = pos > 0 && is_word(s[pos - 1]);
    bool after = pos < len && is_word(s[pos]);
    switch (op) {
    case OP_BOL: return pos == 0;
    case OP_EOL: return pos == len;
    case OP_WORDB: return before != after;
    case OP_NWORDB: return before == after;
    case OP_BOW: return !before && after;
    case OP_EOW: return before && !after;
    }
    return false;
}

// Adds the threads that instruction `pc` leads to at `pos` without
// consuming a byte, in order of preference, each instruction at most once
// per position (a thread that reaches one already visited has a less
// preferred past and the same future: it is dropped).
void add_thread(EreProgram *P, Thread *list, int *n, Pending start_at, uint32_t start,
                const unsigned char *s, size_t len, size_t pos)
{
    Pending *stack = P->stack;
    int top = 0;
    stack[top++] = start_at;
    while (top > 0) {
        Pending t = stack[--top];
        for (;;) {
            if (P->mark[t.pc] == P->gen)
                break;
            P->mark[t.pc] = P->gen;
            const Inst &in = P->code[t.pc];
            if (in.op == OP_JMP) {
                t.pc = static_cast<uint32_t>(in.x);
            } else if (in.op == OP_SPLIT) {
                stack[top++] = Pending{static_cast<uint32_t>(in.y), t.g0, t.g1};
                t.pc = static_cast<uint32_t>(in.x);
            } else if (in.op == OP_SAVE) {
                (in.c == 0 ? t.g0 : t.g1) = static_cast<uint32_t>(pos);
                t.pc++;
            } else if (in.op >= OP_BOL && in.op <= OP_EOW) {
                if (!assertion_holds(in.op, s, len, pos))
                    break;
                t.pc++;
            } else {
                list[(*n)++] = Thread{t.pc, start, t.g0, t.g1};
                break;
            }
        }
    }
}

// The bytes a match can start with, when every way through the start of the
// program consumes a byte before anything else (no assertion, no empty
// match).
void compute_first(EreProgram *P)
{
    ByteSet first = {};
    next_gen(P);
    Pending *stack = P->stack;
    int top = 0;
    stack[top++] = Pending{0, 0, 0};
    bool usable = true;
    while (top > 0 && usable) {
        uint32_t pc = stack[--top].pc;
        if (P->mark[pc] == P->gen)
            continue;
        P->mark[pc] = P->gen;
        const Inst &in = P->code[pc];
        switch (in.op) {
        case OP_CHAR: set_add(&first, in.c); break;
        case OP_SET:
            for (int i = 0; i < 8; i++)
                first.w[i] |= P->sets[in.x].w[i];
            break;
        case OP_JMP: stack[top++] = Pending{static_cast<uint32_t>(in.x), 0, 0}; break;
        case OP_SPLIT:
            stack[top++] = Pending{static_cast<uint32_t>(in.y), 0, 0};
            stack[top++] = Pending{static_cast<uint32_t>(in.x), 0, 0};
            break;
        case OP_SAVE: stack[top++] = Pending{pc + 1, 0, 0}; break;
        default: usable = false;  // any byte, an assertion or the match itself
        }
    }
    P->use_first = usable;
    P->first = first;
}

}  // namespace

EreProgram *ere_compile(const char *pattern, size_t len, char *err, size_t errsize)
{
    Compiler C = {};
    C.p = reinterpret_cast<const unsigned char *>(pattern);
    C.end = C.p + len;
    C.err = err;
    C.errsize = errsize;
    bool ok = parse_regex(&C);
    if (ok && C.p < C.end)  // stopped at a ')' of no group
        ok = fail(&C, "unmatched )");
    if (ok)
        ok = emit(&C, OP_MATCH, 0, 0, 0);

    EreProgram *P = nullptr;
    if (ok) {
        // One block: the program, then its workspace.
        size_t n = static_cast<size_t>(C.len);
        size_t size = sizeof(EreProgram) + n * sizeof(Inst) + static_cast<size_t>(C.nsets) * sizeof(ByteSet) +
                      2 * n * sizeof(Thread) + n * sizeof(uint32_t) + (n + 1) * sizeof(Pending);
        P = static_cast<EreProgram *>(calloc(1, size));
        if (!P) {
            fail(&C, "out of memory");
        } else {
            char *q = reinterpret_cast<char *>(P + 1);
            Inst *code = reinterpret_cast<Inst *>(q);
            memcpy(code, C.code, n * sizeof(Inst));
            q += n * sizeof(Inst);
            ByteSet *sets = reinterpret_cast<ByteSet *>(q);
            if (C.nsets)
                memcpy(sets, C.sets, static_cast<size_t>(C.nsets) * sizeof(ByteSet));
            q += static_cast<size_t>(C.nsets) * sizeof(ByteSet);
            P->clist = reinterpret_cast<Thread *>(q);
            q += n * sizeof(Thread);
            P->nlist = reinterpret_cast<Thread *>(q);
            q += n * sizeof(Thread);
            P->mark = reinterpret_cast<uint32_t *>(q);
            q += n * sizeof(uint32_t);
            P->stack = reinterpret_cast<Pending *>(q);
            P->ninst = C.len;
            P->ngroups = C.ngroups;
            P->code = code;
            P->sets = sets;
            compute_first(P);
        }
    }
    free(C.code);
    free(C.sets);
    return P;
}

size_t ere_groups(const EreProgram *prog) { return prog->ngroups; }

void ere_free(EreProgram *prog) { free(prog); }

int ere_exec(EreProgram *P, const char *subject, size_t len, EreMatch *m)
{
    if (len >= kUnset)
        return -1;
    const unsigned char *s = reinterpret_cast<const unsigned char *>(subject);
    Thread *clist = P->clist;
    Thread *nlist = P->nlist;
    int cn = 0;
    bool found = false;
    Thread best = {};
    size_t best_end = 0;

    // The lists hold threads in order of preference, which is also the
    // order of their starts: a thread started earlier comes first.
    next_gen(P);
    for (size_t i = 0;;) {
        if (!found) {
            if (cn == 0 && P->use_first) {
                size_t j = i;
                while (j < len && !set_has(&P->first, s[j]))
                    j++;
                if (j == len)
                    break;
                if (j != i) {
                    i = j;
                    next_gen(P);
                }
            }
            add_thread(P, clist, &cn, Pending{0, kUnset, kUnset}, static_cast<uint32_t>(i), s, len, i);
        } else if (cn == 0) {
            break;
        }

        next_gen(P);
        int nn = 0;
        for (int k = 0; k < cn; k++) {
            const Thread &t = clist[k];
            if (found && t.start > best.start)
                break;  // starts later than a match: cannot win
            const Inst &in = P->code[t.pc];
            bool step = false;
            switch (in.op) {
            case OP_MATCH:
                if (!found || t.start < best.start || i > best_end) {
                    found = true;
                    best = t;
                    best_end = i;
                }
                break;
            case OP_CHAR: step = i < len && s[i] == in.c; break;
            case OP_ANY: step = i < len; break;
            case OP_SET: step = i < len && set_has(&P->sets[in.x], s[i]); break;
            }
            if (step)
                add_thread(P, nlist, &nn, Pending{t.pc + 1, t.g0, t.g1}, t.start, s, len, i + 1);
        }
        Thread *tmp = clist;
        clist = nlist;
        nlist = tmp;
        cn = nn;
        if (i == len)
            break;
        i++;
    }
    if (!found)
        return 0;
    m->start = best.start;
    m->end = best_end;
    if (best.g0 != kUnset && best.g1 != kUnset && best.g1 >= best.g0) {
        m->group_start = best.g0;
        m->group_end = best.g1;
    } else {
        m->group_start = kEreNone;
        m->group_end = kEreNone;
    }
    return 1;
}
