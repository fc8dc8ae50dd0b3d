// The expression tree: immutable nodes shared through reference-counted handles,
// their structural equality and their LaTeX rendering.
//
// Trees built from Python can be millions of levels deep (a loop nesting Add or Neg),
// so nothing here recurses once per level: traversals keep their own stack on the heap
// (`fold`, `equals`) and destruction recurses a bounded number of levels only.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <new>
#include <numeric>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kalvora {

enum class ExprType : int {
    INT = 0,
    VAR = 1,
    RATIONAL = 2,
    NEG = 3,
    ADD = 4,
    MUL = 5,
    DIV = 6,
    POW = 7,
    SQRT = 8,
    PI = 9,
    E = 10,
    CBRT = 11,
    SIN = 12,
    COS = 13,
    TAN = 14,
    LOG = 15,
};

class Expr;
using ExprPtr = std::shared_ptr<Expr>;

inline bool is_ascii_letter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

// Where a reader of LaTeX source stands after some bytes, as far as control words go:
// in plain text, after a backslash (not itself preceded by one), after a backslash that
// is, or inside a control word (such a first backslash, then one or more ASCII letters).
enum class Lex : std::uint8_t { plain, backslash, escaped, word };

enum class LexByte : std::uint8_t { letter, backslash, other };

constexpr Lex lex_step(Lex s, LexByte c) {
    switch (c) {
        case LexByte::backslash: return s == Lex::backslash || s == Lex::escaped ? Lex::escaped : Lex::backslash;
        case LexByte::letter: return s == Lex::backslash || s == Lex::word ? Lex::word : Lex::plain;
        default: return Lex::plain;
    }
}

// What some bytes do to that reader, for each state it may start in: effects compose, so
// a text built from pieces knows how it ends without being read again, also once cut.
class LexEffect {
public:
    static LexEffect of(std::string_view bytes);
    // Every start state leads to `end`.
    static LexEffect always(Lex end) { return LexEffect(static_cast<std::uint8_t>(0b01010101 * static_cast<unsigned>(end))); }
    // These bytes followed by the bytes of `next`.
    LexEffect then(LexEffect next) const {
        unsigned packed = 0;
        for (unsigned s = 0; s < 4; ++s) packed |= static_cast<unsigned>(next.from(from(Lex(s)))) << 2 * s;
        return LexEffect(static_cast<std::uint8_t>(packed));
    }
    Lex from(Lex start) const { return Lex(packed_ >> 2 * static_cast<unsigned>(start) & 3); }

    // The end state from each of the four start states, two bits each; at first, none moves.
    constexpr explicit LexEffect(std::uint8_t packed = 0b11100100) : packed_(packed) {}
    constexpr std::uint8_t packed() const { return packed_; }

private:
    std::uint8_t packed_;
};

// lex_steps[byte class][effect]: the effect followed by one byte of that class.
inline constexpr std::array<std::array<std::uint8_t, 256>, 3> lex_steps = [] {
    std::array<std::array<std::uint8_t, 256>, 3> table{};
    for (unsigned c = 0; c < 3; ++c)
        for (unsigned packed = 0; packed < 256; ++packed)
            for (unsigned s = 0; s < 4; ++s) {
                const Lex end = lex_step(Lex(packed >> 2 * s & 3), LexByte(c));
                table[c][packed] = static_cast<std::uint8_t>(table[c][packed] | static_cast<unsigned>(end) << 2 * s);
            }
    return table;
}();

inline LexEffect LexEffect::of(std::string_view bytes) {
    std::uint8_t packed = LexEffect().packed();
    for (char c : bytes) {
        const LexByte kind = c == '\\' ? LexByte::backslash : is_ascii_letter(c) ? LexByte::letter : LexByte::other;
        packed = lex_steps[static_cast<std::size_t>(kind)][packed];
    }
    return LexEffect(packed);
}

// Long loops report their work here, so that the program embedding the library can
// abandon a call (Python does on Ctrl-C) through a hook that throws. A call keeps its
// state in locals, which unwinding releases, and never changes a tree: an abandoned call
// leaves nothing behind. Destructors never poll, as they must not throw.
class Interruption {
public:
    using Hook = void (*)();
    static void set_hook(Hook hook) { hook_ = hook; }

    // `work` is in units of a few nanoseconds (a node visited, two terms multiplied);
    // the hook runs once per `period` units, which keeps polling cheap.
    static void poll(std::size_t work = 1) {
        if (work < budget_) {
            budget_ -= static_cast<std::uint32_t>(work);
            return;
        }
        run_hook();
    }

    // For steps of a few nanoseconds, such as comparisons in a sort: counts them in a local
    // `done` and polls once per 1024, sparing the shared countdown.
    static void poll_step(std::size_t& done) {
        if (++done % 1024 == 0) poll(1024);
    }

private:
    // Out of line, so that every loop that polls stays as small as it was.
    [[gnu::cold, gnu::noinline]] static void run_hook() {
        budget_ = period;
        if (hook_) hook_();
    }

    static constexpr std::uint32_t period = 1 << 14;
    static inline Hook hook_ = nullptr;
    // Not a std::size_t, which the compiler would take for a possible alias of every
    // size and index that a polling loop holds, and load them all again after each poll.
    static inline std::uint32_t budget_ = period;
};

// Text that grows cheaply at both ends. A node's text is its operand's text with
// fragments added before and after; building it in place keeps the rendering of a
// deep chain (Neg(Neg(...)), Sqrt(Sqrt(...))) linear in the length of the result.
//
// A text can also be cut down to its front (`keep_front`): it then holds its first
// bytes only, yet knows its size, its last byte and whether it ends in a control word,
// which is all that rendering asks of a child's text. Texts are ordered by their fronts,
// without being written whole.
class Text {
public:
    Text() = default;
    explicit Text(std::string text) : buf_(std::move(text)), lex_(LexEffect::of(buf_)) {}

    std::size_t size() const { return known() + cut_; }
    bool empty() const { return size() == 0; }
    char front() const { return buf_[begin_]; }
    char back() const { return cut_ ? back_ : buf_.back(); }
    // The bytes held: the whole text, or its front once cut.
    std::string_view view() const { return std::string_view(buf_).substr(begin_); }
    bool is_whole() const { return cut_ == 0; }
    // Whether the text ends in a control word such as \pi: a letter right after it would
    // become part of its name.
    bool ends_in_control_word() const { return lex_.from(Lex::plain) == Lex::word; }

    Text& append(std::string_view s) {
        append_bytes(s);
        lex_ = lex_.then(LexEffect::of(s));
        return *this;
    }
    Text& prepend(std::string_view s) {
        prepend_bytes(s);
        lex_ = LexEffect::of(s).then(lex_);
        return *this;
    }
    Text& wrap(std::string_view before, std::string_view after) { return prepend(before).append(after); }
    // Drops a leading minus sign. The rest is read as from the start of a text: it is
    // only ever placed after a separator.
    void drop_front() {
        ++begin_;
        lex_ = LexEffect::always(lex_.from(Lex::plain));
    }
    std::string str() && {
        buf_.erase(0, begin_);
        return std::move(buf_);
    }

    // Keeps only the first `limit` bytes, in a buffer of their size.
    void keep_front(std::size_t limit) {
        const std::size_t kept = std::min(known(), limit);
        if (!empty()) back_ = back();
        cut_ += known() - kept;
        buf_ = std::string(view().substr(0, kept));
        begin_ = 0;
    }

    // a + b, reusing the longer of the two buffers.
    static Text join(Text a, std::string_view between, Text b) {
        if (!a.is_whole() || a.size() >= b.size()) return std::move(a.append(between).append(b));
        b.prepend(between).prepend_bytes(a.view());
        b.lex_ = a.lex_.then(b.lex_);
        return b;
    }

private:
    std::size_t known() const { return buf_.size() - begin_; }

    void append_bytes(std::string_view s) {
        if (cut_ == 0) {
            buf_.append(s);
        } else if (!s.empty()) {
            cut_ += s.size();
            back_ = s.back();
        }
    }
    void prepend_bytes(std::string_view s) {
        if (s.size() > begin_) make_room_in_front(s.size());
        begin_ -= s.size();
        s.copy(buf_.data() + begin_, s.size());
    }

    Text& append(const Text& tail) {
        append_bytes(tail.view());
        if (!tail.is_whole()) {
            cut_ += tail.cut_;
            back_ = tail.back_;
        }
        lex_ = lex_.then(tail.lex_);
        return *this;
    }

    // Doubling the free space keeps repeated prepending amortised linear.
    void make_room_in_front(std::size_t needed) {
        const std::size_t room = std::max(needed, known()) + 16;
        std::string grown(room, '\0');
        grown.append(view());
        buf_.swap(grown);
        begin_ = room;
    }

    std::string buf_;
    std::size_t begin_ = 0;
    std::size_t cut_ = 0;  // bytes cut from the end
    char back_ = 0;        // the last byte, once cut
    LexEffect lex_;        // of the whole text
};

// Blocks of one size for the nodes that the library makes, with their reference counts.
// A large result has millions of nodes: taking them from a free list, and carving new
// ones out of large slabs, costs a few nanoseconds each, where the general allocator
// costs several times that and tidies up the blocks of earlier results inside later
// calls. Freed blocks are kept for later nodes, never returned to the system. Like the
// rest of the library, the pool is used by one thread at a time (Python's interpreter
// lock). Under AddressSanitizer nodes come from the general allocator, which checks them.
template <std::size_t Size>
class BlockPool {
public:
    static void* allocate() {
        if (free_) {
            Free* block = free_;
            free_ = block->next;
            // Freed blocks lie scattered: fetch the next one's link while this one is used.
            __builtin_prefetch(free_);
            return block;
        }
        if (next_ == end_) new_slab();
        void* block = next_;
        next_ += Size;
        return block;
    }
    static void release(void* block) noexcept { free_ = ::new (block) Free{free_}; }

private:
    struct Free {
        Free* next;
    };
    static_assert(Size >= sizeof(Free) && Size % alignof(Free) == 0);
    static constexpr std::size_t slab_blocks = (std::size_t{1} << 16) / Size;

    static void new_slab() {
        next_ = static_cast<char*>(::operator new(slab_blocks * Size));
        end_ = next_ + slab_blocks * Size;
    }

    static inline Free* free_ = nullptr;
    static inline char* next_ = nullptr;
    static inline char* end_ = nullptr;
};

template <class T>
struct PoolAllocator {
    using value_type = T;
    static constexpr std::size_t block_size = (sizeof(T) + alignof(void*) - 1) / alignof(void*) * alignof(void*);
    static_assert(alignof(T) <= alignof(void*));

    PoolAllocator() = default;
    template <class U>
    PoolAllocator(const PoolAllocator<U>&) {}

    T* allocate(std::size_t n) {
        if (n != 1) return std::allocator<T>().allocate(n);
        return static_cast<T*>(BlockPool<block_size>::allocate());
    }
    void deallocate(T* p, std::size_t n) noexcept {
        if (n != 1) return std::allocator<T>().deallocate(p, n);
        BlockPool<block_size>::release(p);
    }
    template <class U>
    bool operator==(const PoolAllocator<U>&) const { return true; }
};

// A new node, with its reference count in the same block.
template <class Node, class... Args>
std::shared_ptr<Node> make_node(Args&&... args) {
#if defined(__SANITIZE_ADDRESS__)
    return std::make_shared<Node>(std::forward<Args>(args)...);
#else
    return std::allocate_shared<Node>(PoolAllocator<Node>(), std::forward<Args>(args)...);
#endif
}

// The child handles of one node, in constructor order (at most two).
struct Children {
    std::array<const ExprPtr*, 2> items{};
    std::size_t count = 0;

    const ExprPtr& operator[](std::size_t i) const { return *items[i]; }
};

class Expr {
public:
    virtual ~Expr() = default;

    // The LaTeX text of the whole tree.
    std::string to_string() const;
    virtual ExprType type() const = 0;
    virtual int precedence() const = 0;
    // Structural, ordered equality; no operation is treated as commutative.
    bool equals(const ExprPtr& other) const;
    virtual bool is_numeric() const { return false; }

    virtual Children children() const { return {}; }
    // The text of this node alone, given the texts of its children() in order.
    virtual Text render(std::span<Text> child_texts) const = 0;

protected:
    // Compares the data a node holds besides its children; `other` has the same kind.
    virtual bool same_fields(const Expr&) const { return true; }

    static Text parenthesize(const ExprPtr& child, Text text, int prec) {
        if (child->precedence() < prec) text.wrap("\\left(", "\\right)");
        return text;
    }

    // The child handles, open to change only while the node is being destroyed.
    virtual std::span<ExprPtr> slots() { return {}; }

    // Run by the destructor of every node with children, on its own child handles. Results
    // are long chains through first children (a sum's terms, a tower's operands), so a
    // node releases its other children first, by plain recursion, and hands its first child
    // to the release that freed it, which goes on with it in a loop: along a chain, each
    // node is freed before the next one is visited, and the native stack does not grow.
    // Recursion stops at `max_depth`; the subtrees found there are parked, and the
    // outermost release takes them up in turn, each as a new top. Each node is thus visited
    // once, by its own destructor, and no tree asks more of the native stack than a
    // shallow one. Release is not interrupted: it cannot throw, and its time is bounded by
    // the memory it frees, which was filled by interruptible work. Like the node pool,
    // this state serves one thread at a time.
    static void release_children(std::span<ExprPtr> children) noexcept {
        if (depth_ == max_depth) {
            for (ExprPtr& child : children) park(child);
            return;
        }
        ExprPtr& first = children.front();
        const bool outermost = depth_++ == 0;
        for (ExprPtr& child : children.subspan(1)) release(child);
        if (outermost) {
            release(first);
            release_parked();
        } else {
            handed_over_ = std::move(first);
        }
        --depth_;
    }

private:
    // Deep enough that the terms of a sum are freed in one go, shallow enough for a thread
    // started with a small stack.
    static constexpr unsigned max_depth = 32;

    // Releases `e`, then the chain of first children that its release hands over.
    static void release(ExprPtr& e) noexcept {
        e.reset();
        while (handed_over_) {
            ExprPtr next = std::move(handed_over_);
            next.reset();
        }
    }

    static bool owns_subtree(const ExprPtr& e) { return e.use_count() == 1 && !e->slots().empty(); }

    // Frees a child at once if that cannot recurse: a leaf, or a node with other owners.
    // A full lot, which only a tree wide at that depth fills, never allocates: the child
    // is dismantled instead.
    static void park(ExprPtr& child) noexcept {
        if (!owns_subtree(child)) child.reset();
        else if (parked_ < parking_.size()) parking_[parked_++] = std::move(child);
        else dismantle(std::move(child));
    }

    static void release_parked() noexcept {
        while (parked_ > 0) {
            // Moved out first: releasing it may park other subtrees in the same place.
            ExprPtr top = std::move(parking_[--parked_]);
            release(top);
        }
    }

    // Destroys a tree owned by `root` alone with neither recursion nor allocation (it may
    // run out of memory). Children that are leaves or shared are dropped at once; a
    // first child with children of its own is rotated up, taking the root as its second
    // child (an operand is lifted into the root instead), so everything left hangs from
    // the root until the chain is used up. Every node it destroys has no child left.
    static void dismantle(ExprPtr root) noexcept {
        while (root) {
            const std::span<ExprPtr> children = root->slots();
            for (ExprPtr& child : children)
                if (child && !owns_subtree(child)) child.reset();
            if (children[0]) {
                ExprPtr top = std::move(children[0]);
                const std::span<ExprPtr> grandchildren = top->slots();
                if (grandchildren.size() == 1) {
                    children[0] = std::move(grandchildren[0]);
                    continue;
                }
                children[0] = std::move(grandchildren[1]);
                grandchildren[1] = std::move(root);
                root = std::move(top);
            } else {
                ExprPtr next = children.size() > 1 ? std::move(children[1]) : nullptr;
                root = std::move(next);
            }
        }
    }

    static inline unsigned depth_ = 0;  // of the release running now
    static inline ExprPtr handed_over_;
    static inline std::array<ExprPtr, 1024> parking_{};
    static inline std::size_t parked_ = 0;
};

// Computes `combine(node, handle, child_results)` for every node from the leaves up,
// where the children visited are those `visit(node)` names. The explicit stack keeps
// the depth of the tree off the native stack. `handle` is the node's owning handle,
// or null for a root passed without one.
template <class Result, class Visit, class Combine>
Result fold(const Expr& root, const ExprPtr* root_handle, Visit visit, Combine combine) {
    struct Frame {
        const Expr* node;
        const ExprPtr* handle;
        Children pending;
        std::size_t next;
    };
    std::vector<Frame> frames;
    std::vector<Result> results;
    // Most trees are shallow: allocate once, and little enough that the allocator serves
    // it from its small bins (a larger request makes it tidy up all of its free lists).
    frames.reserve(8);
    results.reserve(8);
    frames.push_back({&root, root_handle, visit(root), 0});
    while (!frames.empty()) {
        Frame& top = frames.back();
        if (top.next < top.pending.count) {
            Interruption::poll();  // once per node below the root
            const ExprPtr& child = top.pending[top.next++];
            frames.push_back({child.get(), &child, visit(*child), 0});
            continue;
        }
        const auto first = results.end() - static_cast<std::ptrdiff_t>(top.pending.count);
        Result result = combine(*top.node, top.handle, std::span<Result>(first, results.end()));
        results.erase(first, results.end());
        results.push_back(std::move(result));
        frames.pop_back();
    }
    return std::move(results.back());
}

inline std::string Expr::to_string() const {
    return fold<Text>(
               *this, nullptr, [](const Expr& node) { return node.children(); },
               [](const Expr& node, const ExprPtr*, std::span<Text> texts) { return node.render(texts); })
        .str();
}

inline bool Expr::equals(const ExprPtr& other) const {
    std::vector<std::pair<const Expr*, const Expr*>> pending{{this, other.get()}};
    while (!pending.empty()) {
        const auto [a, b] = pending.back();
        pending.pop_back();
        if (a == b) continue;  // a shared subtree is equal to itself
        if (a->type() != b->type() || !a->same_fields(*b)) return false;
        const Children left = a->children(), right = b->children();
        Interruption::poll(left.count);
        // Pushed in reverse so that the first children are compared first.
        for (std::size_t i = left.count; i-- > 0;) pending.emplace_back(left[i].get(), right[i].get());
    }
    return true;
}

class Int final : public Expr {
public:
    explicit Int(int value) : value_(value) {}
    int value() const { return value_; }

    ExprType type() const override { return ExprType::INT; }
    int precedence() const override { return 5; }
    bool is_numeric() const override { return true; }
    Text render(std::span<Text>) const override { return Text(std::to_string(value_)); }

private:
    bool same_fields(const Expr& other) const override {
        return value_ == static_cast<const Int&>(other).value_;
    }
    int value_;
};

// Whether `e` is an integer literal of value v (a Rational of equal value is not).
inline bool is_int(const Expr& e, int v) {
    return e.type() == ExprType::INT && static_cast<const Int&>(e).value() == v;
}
inline bool is_int(const ExprPtr& e, int v) { return is_int(*e, v); }

class Var final : public Expr {
public:
    explicit Var(const std::string& name) : name_(name) {}
    const std::string& name() const { return name_; }

    ExprType type() const override { return ExprType::VAR; }
    int precedence() const override { return 5; }
    Text render(std::span<Text>) const override { return Text(name_); }

private:
    bool same_fields(const Expr& other) const override {
        return name_ == static_cast<const Var&>(other).name_;
    }
    std::string name_;
};

class Rational final : public Expr {
public:
    // Stores num/den in lowest terms with a positive denominator. The arithmetic is
    // done in 64 bits so that -2147483648 is negated exactly; a result that does not
    // fit back into 32 bits (1/-2147483648) is refused rather than stored wrongly.
    Rational(int num, int den) : Rational(std::int64_t{num}, std::int64_t{den}) {}
    // The same from 64-bit terms, such as a 32-bit numerator negated exactly.
    Rational(std::int64_t num, std::int64_t den) : num_(0), den_(1) {
        if (den == 0) throw std::invalid_argument("エラー: 分母をゼロにすることはできません。");
        std::int64_t n = num, d = den;
        if (d < 0) {
            n = -n;
            d = -d;
        }
        const std::int64_t g = std::gcd(n, d);
        n /= g;
        d /= g;
        if (n < std::numeric_limits<int>::min() || n > std::numeric_limits<int>::max() ||
            d > std::numeric_limits<int>::max())
            throw std::invalid_argument("エラー: 約分した分数が32ビット整数の範囲に収まりません。");
        num_ = static_cast<int>(n);
        den_ = static_cast<int>(d);
    }
    int num() const { return num_; }
    int den() const { return den_; }

    ExprType type() const override { return ExprType::RATIONAL; }
    int precedence() const override { return 5; }
    bool is_numeric() const override { return true; }
    Text render(std::span<Text>) const override {
        if (den_ == 1) return Text(std::to_string(num_));
        const std::string fraction = "\\frac{" + std::to_string(magnitude(num_)) + "}{" + std::to_string(den_) + "}";
        return Text(num_ < 0 ? "-" + fraction : fraction);
    }

private:
    static std::int64_t magnitude(int v) { return v < 0 ? -std::int64_t{v} : v; }
    bool same_fields(const Expr& other) const override {
        const auto& r = static_cast<const Rational&>(other);
        return num_ == r.num_ && den_ == r.den_;
    }
    int num_;
    int den_;
};

// Pi and E: constants without data.
template <ExprType K>
class Constant final : public Expr {
public:
    Constant() = default;
    ExprType type() const override { return K; }
    int precedence() const override { return 5; }
    Text render(std::span<Text>) const override { return Text(K == ExprType::PI ? "\\pi" : "e"); }
};
using Pi = Constant<ExprType::PI>;
using E = Constant<ExprType::E>;

// The one-operand kinds: negation, the two roots and the four functions, which
// differ only in their kind, precedence and rendering.
template <ExprType K>
class Unary final : public Expr {
public:
    explicit Unary(ExprPtr operand) : operand_(std::move(operand)) {}
    ~Unary() override { release_children(slots()); }
    const ExprPtr& operand() const { return operand_; }

    ExprType type() const override { return K; }
    int precedence() const override { return K == ExprType::NEG ? 2 : 5; }
    Children children() const override { return {{&operand_}, 1}; }
    Text render(std::span<Text> texts) const override {
        Text text = std::move(texts[0]);
        switch (K) {
            case ExprType::NEG: return std::move(parenthesize(operand_, std::move(text), 2).prepend("-"));
            case ExprType::SQRT: return std::move(text.wrap("\\sqrt{", "}"));
            case ExprType::CBRT: return std::move(text.wrap("\\sqrt[3]{", "}"));
            case ExprType::SIN: return std::move(text.wrap("\\sin\\left(", "\\right)"));
            case ExprType::COS: return std::move(text.wrap("\\cos\\left(", "\\right)"));
            case ExprType::TAN: return std::move(text.wrap("\\tan\\left(", "\\right)"));
            default: return std::move(text.wrap("\\ln\\left(", "\\right)"));
        }
    }

private:
    std::span<ExprPtr> slots() override { return {&operand_, 1}; }
    ExprPtr operand_;
};
using Neg = Unary<ExprType::NEG>;
using Sqrt = Unary<ExprType::SQRT>;
using Cbrt = Unary<ExprType::CBRT>;
using Sin = Unary<ExprType::SIN>;
using Cos = Unary<ExprType::COS>;
using Tan = Unary<ExprType::TAN>;
using Log = Unary<ExprType::LOG>;

// Whether a node's text starts with the minus sign of a negative value: as the right
// operand of a sum that minus becomes the subtraction.
inline bool renders_as_negative(const Expr& e) {
    switch (e.type()) {
        case ExprType::NEG: return true;
        case ExprType::INT: return static_cast<const Int&>(e).value() < 0;
        case ExprType::RATIONAL: return static_cast<const Rational&>(e).num() < 0;
        default: return false;
    }
}

inline bool is_digit(char c) { return c >= '0' && c <= '9'; }

// The two-operand kinds. Sums and products name their operands left and right,
// quotients num and den, powers base and exp.
template <ExprType K>
class Binary final : public Expr {
public:
    Binary(ExprPtr first, ExprPtr second) : first_(std::move(first)), second_(std::move(second)) {}
    ~Binary() override { release_children(slots()); }

    const ExprPtr& left() const requires(K == ExprType::ADD || K == ExprType::MUL) { return first_; }
    const ExprPtr& right() const requires(K == ExprType::ADD || K == ExprType::MUL) { return second_; }
    const ExprPtr& num() const requires(K == ExprType::DIV) { return first_; }
    const ExprPtr& den() const requires(K == ExprType::DIV) { return second_; }
    const ExprPtr& base() const requires(K == ExprType::POW) { return first_; }
    const ExprPtr& exp() const requires(K == ExprType::POW) { return second_; }

    ExprType type() const override { return K; }
    int precedence() const override {
        switch (K) {
            case ExprType::ADD: return 1;
            case ExprType::POW: return 4;
            default: return 3;
        }
    }
    Children children() const override { return {{&first_, &second_}, 2}; }
    Text render(std::span<Text> texts) const override {
        Text first = std::move(texts[0]), second = std::move(texts[1]);
        switch (K) {
            case ExprType::ADD: return render_sum(std::move(first), std::move(second));
            case ExprType::MUL: return render_product(std::move(first), std::move(second));
            case ExprType::DIV: return std::move(Text::join(std::move(first), "}{", std::move(second)).wrap("\\frac{", "}"));
            default: return render_power(std::move(first), std::move(second));
        }
    }

private:
    Text render_sum(Text left, Text right) const {
        if (!renders_as_negative(*second_)) return Text::join(std::move(left), " + ", std::move(right));
        right.drop_front();  // the operand's minus sign becomes the subtraction
        return Text::join(std::move(left), " - ", std::move(right));
    }

    Text render_product(Text left, Text right) const {
        if (is_int(first_, -1)) return std::move(parenthesize(second_, std::move(right), 3).prepend("-"));
        if (is_int(first_, 1)) return parenthesize(second_, std::move(right), 3);
        if (is_int(second_, 1)) return parenthesize(first_, std::move(left), 3);
        Text a = parenthesize(first_, std::move(left), 3);
        Text b = parenthesize(second_, std::move(right), 3);
        const bool digits_meet = !a.empty() && !b.empty() && is_digit(a.back()) && is_digit(b.front());
        const bool numbers = first_->is_numeric() && second_->is_numeric();
        // \pi r, not \pir: a letter would continue the control word's name
        const bool word_meets_letter = a.ends_in_control_word() && !b.empty() && is_ascii_letter(b.front());
        const char* between = numbers || digits_meet ? " \\cdot " : word_meets_letter ? " " : "";
        return Text::join(std::move(a), between, std::move(b));
    }

    Text render_power(Text base, Text exponent) const {
        const bool wrap = first_->precedence() < 4 || first_->type() == ExprType::POW ||
                          renders_as_negative(*first_);
        if (wrap) base.wrap("\\left(", "\\right)");
        return std::move(Text::join(std::move(base), "^{", std::move(exponent)).append("}"));
    }

    std::span<ExprPtr> slots() override { return {&first_, 2}; }
    ExprPtr first_;
    ExprPtr second_;
};
using Add = Binary<ExprType::ADD>;
using Mul = Binary<ExprType::MUL>;
using Div = Binary<ExprType::DIV>;
using Pow = Binary<ExprType::POW>;

}  // namespace kalvora
