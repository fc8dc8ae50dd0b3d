#include "simplifier.hpp"

#include <algorithm>
#include <bit>
#include <limits>
#include <optional>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <numeric>
#include <random>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <variant>

namespace kalvora {

// ---------------------------------------------------------------------------
// Integer helpers. All arithmetic is 32-bit two's complement and wraps; it is done
// in unsigned arithmetic, where wrapping is the defined behaviour.

int wrapping_add(int a, int b) { return static_cast<int>(static_cast<std::uint32_t>(a) + static_cast<std::uint32_t>(b)); }
int wrapping_mul(int a, int b) { return static_cast<int>(static_cast<std::uint32_t>(a) * static_cast<std::uint32_t>(b)); }
int wrapping_neg(int a) { return static_cast<int>(0u - static_cast<std::uint32_t>(a)); }

// base^exp reduced modulo 2^32; 0 for a negative exponent.
int int_pow(int base, int exp) {
    if (exp < 0) return 0;
    int result = 1;
    for (; exp != 0; exp >>= 1) {
        if (exp & 1) result = wrapping_mul(result, base);
        base = wrapping_mul(base, base);
    }
    return result;
}

// Splits n into (outside, inside) with outside^2 * inside = n and inside square-free.
std::pair<int, int> simplify_sqrt(int n) {
    if (n < 0) throw std::invalid_argument("負の数の平方根はサポートされていません。");
    if (n == 0) return {0, 1};
    int outside = 1;
    // i*i is compared in 64 bits against the radicand left, which shrinks as squares go.
    for (std::int64_t i = 2; i * i <= n; ++i) {
        const int square = static_cast<int>(i * i);
        while (n % square == 0) {
            outside *= static_cast<int>(i);
            n /= square;
        }
    }
    return {outside, n};
}

// ---------------------------------------------------------------------------
// Simplifier: every node is rewritten once, after its children, by the first rule of
// its kind that applies; otherwise it is rebuilt over its simplified children.

namespace {

template <class Node, class... Args>
ExprPtr make(Args&&... args) {
    return make_node<Node>(std::forward<Args>(args)...);
}

ExprPtr make_int(int value) { return make<Int>(value); }

template <class Node>
const Node& as(const ExprPtr& e) {
    return static_cast<const Node&>(*e);
}

int int_value(const ExprPtr& e) { return as<Int>(e).value(); }
bool is_kind(const ExprPtr& e, ExprType kind) { return e->type() == kind; }
bool both_int(const ExprPtr& a, const ExprPtr& b) { return is_kind(a, ExprType::INT) && is_kind(b, ExprType::INT); }

ExprPtr make_unary(ExprType kind, ExprPtr operand) {
    switch (kind) {
        case ExprType::NEG: return make<Neg>(std::move(operand));
        case ExprType::SQRT: return make<Sqrt>(std::move(operand));
        case ExprType::CBRT: return make<Cbrt>(std::move(operand));
        case ExprType::SIN: return make<Sin>(std::move(operand));
        case ExprType::COS: return make<Cos>(std::move(operand));
        case ExprType::TAN: return make<Tan>(std::move(operand));
        default: return make<Log>(std::move(operand));
    }
}

ExprPtr simplify_neg(const ExprPtr& a) {
    switch (a->type()) {
        case ExprType::NEG: return as<Neg>(a).operand();
        case ExprType::INT: return make_int(wrapping_neg(int_value(a)));
        case ExprType::RATIONAL: {
            // Negated in 64 bits: -(-2147483648/q) does not fit and is refused, never left negative.
            const Rational& r = as<Rational>(a);
            return make<Rational>(-std::int64_t{r.num()}, std::int64_t{r.den()});
        }
        default: return make<Neg>(a);
    }
}

ExprPtr simplify_add(const ExprPtr& a, const ExprPtr& b) {
    if (is_int(a, 0)) return b;
    if (is_int(b, 0)) return a;
    if (both_int(a, b)) return make_int(wrapping_add(int_value(a), int_value(b)));
    if (a->equals(b)) return make<Mul>(make_int(2), a);
    return make<Add>(a, b);
}

ExprPtr simplify_mul(const ExprPtr& a, const ExprPtr& b) {
    if (is_int(a, 0) || is_int(b, 0)) return make_int(0);
    if (is_int(a, 1)) return b;
    if (is_int(b, 1)) return a;
    if (both_int(a, b)) return make_int(wrapping_mul(int_value(a), int_value(b)));
    return make<Mul>(a, b);
}

bool is_zero(const ExprPtr& e) {
    return is_int(e, 0) || (is_kind(e, ExprType::RATIONAL) && as<Rational>(e).num() == 0);
}

// p/q as an Int when q divides p, else as a reduced fraction. -2147483648 / -1
// wraps like every other integer operation instead of trapping.
ExprPtr divide_ints(int p, int q) {
    if (q == -1) return make_int(wrapping_neg(p));
    if (p % q == 0) return make_int(p / q);
    return make<Rational>(p, q);
}

ExprPtr simplify_div(const ExprPtr& a, const ExprPtr& b) {
    if (is_zero(b)) throw std::invalid_argument("ゼロ除算エラー");
    if (is_int(a, 0)) return make_int(0);
    if (both_int(a, b)) return divide_ints(int_value(a), int_value(b));
    if (a->equals(b)) return make_int(1);
    if (is_kind(b, ExprType::SQRT) && is_kind(as<Sqrt>(b).operand(), ExprType::INT)) {
        // a / sqrt(k) = a * sqrt(k) / k. The rules apply to a and b directly: simplifying
        // them again would give them back (results of simplify are fixed points) and make
        // a chain x / sqrt(2) / sqrt(2) / ... quadratic.
        const ExprPtr numerator = simplify_mul(a, b);
        return simplify_div(numerator, make_int(int_value(as<Sqrt>(b).operand())));
    }
    return make<Div>(a, b);
}

ExprPtr simplify_pow(const ExprPtr& a, const ExprPtr& b) {
    if (is_int(b, 0)) return make_int(1);
    if (is_int(b, 1)) return a;
    if (is_int(a, 0) || is_int(a, 1)) return a;
    if (both_int(a, b)) {
        const int m = int_value(a), e = int_value(b);
        if (e >= 0) return make_int(int_pow(m, e));
        return make<Rational>(1, int_pow(m, wrapping_neg(e)));
    }
    return make<Pow>(a, b);
}

ExprPtr simplify_sqrt_node(const ExprPtr& a) {
    if (is_int(a, 0) || is_int(a, 1)) return make_int(int_value(a));
    if (!is_kind(a, ExprType::INT)) return make<Sqrt>(a);
    const auto [outside, inside] = simplify_sqrt(int_value(a));
    if (inside == 1) return make_int(outside);
    if (outside > 1) return make<Mul>(make_int(outside), make<Sqrt>(make_int(inside)));
    return make<Sqrt>(a);
}

ExprPtr simplify_cbrt(const ExprPtr& a) {
    if (is_int(a, 0) || is_int(a, 1)) return make_int(int_value(a));
    if (is_kind(a, ExprType::POW) && is_int(as<Pow>(a).exp(), 3)) return as<Pow>(a).base();
    if (is_kind(a, ExprType::INT)) {
        const int n = int_value(a);
        // |root| <= 1290 for 32-bit n, so the cube below cannot overflow.
        const int root = static_cast<int>(std::round(std::cbrt(static_cast<double>(n))));
        if (root * root * root == n) return make_int(root);
    }
    return make<Cbrt>(a);
}

ExprPtr simplify_log(const ExprPtr& a) {
    if (is_int(a, 1)) return make_int(0);
    if (is_kind(a, ExprType::E)) return make_int(1);
    if (is_kind(a, ExprType::POW) && is_kind(as<Pow>(a).base(), ExprType::E)) return as<Pow>(a).exp();
    return make<Log>(a);
}

// n when the argument is pi / n (pi itself counts as n = 1), otherwise 0.
int pi_divisor(const ExprPtr& a) {
    if (is_kind(a, ExprType::PI)) return 1;
    if (!is_kind(a, ExprType::DIV)) return 0;
    const Div& quotient = as<Div>(a);
    if (!is_kind(quotient.num(), ExprType::PI) || !is_kind(quotient.den(), ExprType::INT)) return 0;
    return int_value(quotient.den());
}

ExprPtr half_sqrt2() { return make<Div>(make<Sqrt>(make_int(2)), make_int(2)); }

// Exact values of sin, cos and tan at 0, pi, pi/2 and pi/4.
ExprPtr simplify_trig(ExprType f, const ExprPtr& a) {
    if (is_int(a, 0)) return make_int(f == ExprType::COS ? 1 : 0);
    switch (pi_divisor(a)) {
        case 1: return make_int(f == ExprType::COS ? -1 : 0);
        case 2:
            if (f == ExprType::TAN) throw std::invalid_argument("tan(pi/2) は定義されていません");
            return make_int(f == ExprType::SIN ? 1 : 0);
        case 4: return f == ExprType::TAN ? make_int(1) : half_sqrt2();
        default: return make_unary(f, a);
    }
}

ExprPtr apply_rules(const Expr& node, const ExprPtr* handle, std::span<ExprPtr> kids) {
    switch (const ExprType kind = node.type()) {
        case ExprType::NEG: return simplify_neg(kids[0]);
        case ExprType::ADD: return simplify_add(kids[0], kids[1]);
        case ExprType::MUL: return simplify_mul(kids[0], kids[1]);
        case ExprType::DIV: return simplify_div(kids[0], kids[1]);
        case ExprType::POW: return simplify_pow(kids[0], kids[1]);
        case ExprType::SQRT: return simplify_sqrt_node(kids[0]);
        case ExprType::CBRT: return simplify_cbrt(kids[0]);
        case ExprType::LOG: return simplify_log(kids[0]);
        case ExprType::SIN:
        case ExprType::COS:
        case ExprType::TAN: return simplify_trig(kind, kids[0]);
        default: return *handle;  // leaves are their own simplest form
    }
}

Children all_children(const Expr& node) { return node.children(); }

}  // namespace


// ---------------------------------------------------------------------------
// Term collection. A summand is read as an integer coefficient times factors with
// integer exponents; summands are grouped by the LaTeX text of their factors (the
// key), and the groups are ordered by that text, descending byte by byte, with the
// constant term last.
//
// Factor nodes are numbered as they are met: a `node` id keeps the very handle a
// result is rebuilt from, a `shape` id stands for every node equal to it, so that
// grouping compares small integers instead of trees or texts.

namespace {

// How a factor with exponent 1 reads back once its term is rebuilt: as itself, read
// further (an integer, a negation, a product, a power with an integer exponent), or,
// for a sum standing alone, split into its summands by the next collection.
enum class Reading : std::uint8_t { itself, further, sum };

Reading reading_of(const Expr& n) {
    switch (n.type()) {
        case ExprType::INT:
        case ExprType::NEG:
        case ExprType::MUL: return Reading::further;
        case ExprType::POW:
            return is_kind(static_cast<const Pow&>(n).exp(), ExprType::INT) ? Reading::further : Reading::itself;
        case ExprType::ADD: return Reading::sum;
        default: return Reading::itself;
    }
}

struct Factor {
    std::uint32_t shape;
    std::uint32_t node;
    int exp;
    Reading reading;
};

// coeff times the product of the factors; `vars` is sorted by shape and holds no two
// factors of the same shape. An exponent may be 0 where a factor cancelled. The counts
// follow the exponents so that a long product is never rescanned.
struct Monomial {
    int coeff = 1;
    std::vector<Factor> vars;
    std::uint32_t live = 0;          // factors with exponent != 0
    std::uint32_t further_at_1 = 0;  // factors read further that have exponent 1
    std::uint32_t sums_at_1 = 0;     // sums with exponent 1
};

// Adds (sign 1) or removes (sign -1) what a factor contributes to the counts.
void tally(Monomial& m, const Factor& f, int sign) {
    const auto step = static_cast<std::uint32_t>(sign);
    if (f.exp != 0) m.live += step;
    if (f.exp != 1) return;
    if (f.reading == Reading::further) m.further_at_1 += step;
    if (f.reading == Reading::sum) m.sums_at_1 += step;
}

// Whether rebuilding the term and reading it back gives the same monomial.
bool is_regular(const Monomial& m) {
    return m.further_at_1 == 0 && !(m.live == 1 && m.sums_at_1 == 1 && m.coeff == 1);
}

// Builders shared by every way of expanding: products and sums are left-nested chains,
// and a term's integer coefficient is its left operand.

// Extends a product by factor^exp (the factor itself for exponent 1).
void append_factor(ExprPtr& product, const ExprPtr& factor, int exp) {
    ExprPtr contribution = exp == 1 ? factor : make<Pow>(factor, make_int(exp));
    product = product ? make<Mul>(std::move(product), std::move(contribution)) : std::move(contribution);
}

// The term coeff * product; an empty product stands for 1.
ExprPtr make_term(int coeff, ExprPtr product) {
    if (coeff == 0) return make_int(0);
    if (!product) return make_int(coeff);
    if (coeff == 1) return product;
    if (coeff == -1) return make<Neg>(std::move(product));
    return make<Mul>(make_int(coeff), std::move(product));
}

void append_term(ExprPtr& sum, ExprPtr term) {
    sum = sum ? make<Add>(std::move(sum), std::move(term)) : std::move(term);
}

// A text known by its front (see Text::keep_front), and rendered whole from `tree`
// only where the fronts of two texts do not decide between them. Texts of factors deep
// in a tower of roots or functions are then never written out at every level of the
// tower. Whole texts are not kept: memory stays proportional to the trees.
struct LazyText {
    Text front;
    ExprPtr tree;  // null when the front is the whole text
};

// The bytes of a text's front, enough to order almost all texts met in practice.
constexpr std::size_t front_size = 48;

// Byte order of two texts from their fronts: negative, zero or positive, or nothing
// when the fronts agree as far as both go and one of them was cut.
std::optional<int> compare_fronts(const Text& a, const Text& b) {
    const std::string_view fa = a.view(), fb = b.view();
    const std::size_t common = std::min(fa.size(), fb.size());
    if (const int c = fa.substr(0, common).compare(fb.substr(0, common)); c != 0) return c;
    // The shorter front is a prefix of the other text: decided if it is its whole text.
    if (a.is_whole() && fa.size() <= fb.size()) return fa.size() == b.size() ? 0 : -1;
    if (b.is_whole() && fb.size() <= fa.size()) return fb.size() == a.size() ? 0 : 1;
    return std::nullopt;
}

int compare_texts(const LazyText& a, const LazyText& b) {
    if (const std::optional<int> c = compare_fronts(a.front, b.front)) return *c;
    return a.tree->to_string().compare(b.tree->to_string());  // both fronts were cut
}

bool same_text(const LazyText& a, const LazyText& b) {
    return a.front.size() == b.front.size() && compare_texts(a, b) == 0;
}

// Term order: descending bytes (std::string compares as unsigned bytes), constant last.
bool key_before(const LazyText& a, const LazyText& b) {
    const auto is_constant = [](const LazyText& t) { return t.front.is_whole() && t.front.view() == "1"; };
    if (is_constant(a)) return false;
    if (is_constant(b)) return true;
    return compare_texts(a, b) > 0;
}

// Hash tables here are indexed by what the input decides (factors, names, texts,
// exponents, coefficients). Their hashes are keyed by random numbers drawn once per
// process, so that nobody can craft inputs that all land in one bucket and make
// expansion quadratic.
const std::array<std::uint64_t, 3> hash_key = [] {
    std::random_device device;
    std::array<std::uint64_t, 3> key{};
    for (std::uint64_t& k : key) k = std::uint64_t{device()} << 32 | device();
    key[2] |= 1;  // an odd multiplier
    return key;
}();

// A full 64 x 64 -> 128-bit product of the keyed operands, folded to 64 bits (as in wyhash).
std::size_t mix(std::size_t seed, std::size_t value) {
    __extension__ typedef unsigned __int128 Wide;
    const Wide product = static_cast<Wide>(seed ^ hash_key[0]) * (value ^ hash_key[1]);
    return static_cast<std::size_t>(product ^ product >> 64);
}

std::size_t hash_bytes(std::string_view bytes) {
    std::size_t h = bytes.size();
    for (std::size_t at = 0; at < bytes.size(); at += 8) {
        std::uint64_t word = 0;
        std::memcpy(&word, bytes.data() + at, std::min<std::size_t>(8, bytes.size() - at));
        h = mix(h, word);
    }
    return h;
}

// For tables indexed by a number.
struct KeyedHash {
    std::size_t operator()(std::uint64_t value) const { return mix(0, value); }
};

// The (shape, exponent) pairs that decide a monomial's key; cancelled factors drop out.
using Signature = std::vector<std::uint64_t>;

Signature signature(const Monomial& m) {
    Signature sig;
    sig.reserve(m.vars.size());
    for (const Factor& f : m.vars)
        if (f.exp != 0) sig.push_back(std::uint64_t{f.shape} << 32 | static_cast<std::uint32_t>(f.exp));
    return sig;
}

struct SignatureHash {
    std::size_t operator()(const Signature& sig) const {
        std::size_t h = sig.size();
        for (std::uint64_t v : sig) h = mix(h, v);
        return h;
    }
};

// A term's key is rendered only once it is compared with another: a product of many
// factors that stays a single term is never rendered on the way.
constexpr std::uint32_t no_key = std::numeric_limits<std::uint32_t>::max();

struct Term {
    Monomial mono;
    std::uint32_t key = no_key;
};

// A collected sum. `terms` are in term order while `sorted` holds.
struct Poly {
    std::vector<Term> terms;
    std::unordered_map<std::uint32_t, std::size_t> position;  // key -> index in terms; built on demand
    std::size_t irregular = 0;  // terms that read back differently once rebuilt (see is_regular)
    bool sorted = true;
};

// What expansion gives for a subtree: a collected sum, or a tree that no collection
// touched (leaves, quotients, roots, functions, powers that were not multiplied out).
using Value = std::variant<ExprPtr, Poly>;

class Expansion {
public:
    std::uint32_t key_of(const Monomial& m);
    std::uint32_t key(Term& t) { return t.key == no_key ? t.key = key_of(t.mono) : t.key; }
    Value expand_node(const Expr& node, const ExprPtr* handle, std::span<Value> kids);
    ExprPtr tree_of(Value& value);

private:
    // Factor table.
    Factor factor(const ExprPtr& node, int exp);
    std::size_t structural_hash(const ExprPtr& node);
    LazyText& text(std::uint32_t shape);
    const Text* known_front(const Expr& n) const;
    LazyText lazy_text(const ExprPtr& tree);
    const ExprPtr& node(std::uint32_t id) const { return nodes_[id]; }

    // Term collection.
    Monomial parse_monomial(const ExprPtr& e);
    ExprPtr build_monomial(const Monomial& m);
    void flatten_add(const ExprPtr& e, std::vector<Monomial>& out);
    Poly collect_terms(std::vector<Term>&& groups);
    std::vector<Monomial> summands(Value& value, bool take = false);
    void sort_terms(Poly& p);
    void merge_into(Poly& sum, std::vector<Monomial> summands, bool summands_first);

    // Expansion.
    Value add(Value& left, Value& right);
    Poly distribute_mul(Value& left, Value& right, bool take = false);
    Value distribute_pow(Value& base, int n);
    Poly negate(Value& operand);
    Poly collect(Value& value);
    Poly recollect(Value&& value);

    std::vector<ExprPtr> nodes_;                               // node id -> handle, kept alive
    std::vector<std::uint32_t> shape_of_node_;                 // node id -> shape
    std::unordered_map<const Expr*, std::uint32_t> node_ids_;  // by identity
    std::unordered_map<const Expr*, std::size_t> hashes_;      // of nodes kept alive by nodes_
    std::unordered_multimap<std::size_t, std::uint32_t> shapes_by_hash_;
    std::vector<std::uint32_t> shape_first_node_;
    std::vector<std::optional<LazyText>> shape_texts_;  // found when first needed

    std::unordered_map<Signature, std::uint32_t, SignatureHash> key_of_signature_;
    std::unordered_multimap<std::size_t, std::uint32_t> keys_by_front_;  // by a hash of size and front
    std::vector<LazyText> keys_;
};

std::size_t own_hash(const Expr& n) {
    const std::size_t h = static_cast<std::size_t>(n.type());
    switch (n.type()) {
        case ExprType::INT: return mix(h, static_cast<std::size_t>(static_cast<const Int&>(n).value()));
        case ExprType::VAR: return mix(h, hash_bytes(static_cast<const Var&>(n).name()));
        case ExprType::RATIONAL: {
            const auto& r = static_cast<const Rational&>(n);
            return mix(mix(h, static_cast<std::size_t>(r.num())), static_cast<std::size_t>(r.den()));
        }
        default: return h;
    }
}

std::size_t Expansion::structural_hash(const ExprPtr& root) {
    return fold<std::size_t>(
        *root, &root,
        [this](const Expr& n) { return hashes_.contains(&n) ? Children{} : n.children(); },
        [this](const Expr& n, const ExprPtr*, std::span<std::size_t> kids) {
            if (const auto known = hashes_.find(&n); known != hashes_.end()) return known->second;
            std::size_t h = own_hash(n);
            for (std::size_t k : kids) h = mix(h, k);
            hashes_.emplace(&n, h);
            return h;
        });
}

Factor Expansion::factor(const ExprPtr& n, int exp) {
    const auto [known, inserted] = node_ids_.try_emplace(n.get(), static_cast<std::uint32_t>(nodes_.size()));
    const std::uint32_t id = known->second;
    if (inserted) {
        nodes_.push_back(n);
        const std::size_t h = structural_hash(n);
        std::uint32_t shape = static_cast<std::uint32_t>(shape_first_node_.size());
        const auto [first, last] = shapes_by_hash_.equal_range(h);
        const auto same = std::find_if(first, last, [&](const auto& entry) {
            return nodes_[shape_first_node_[entry.second]]->equals(n);
        });
        if (same != last) {
            shape = same->second;
        } else {
            shapes_by_hash_.emplace(h, shape);
            shape_first_node_.push_back(id);
            shape_texts_.emplace_back();
        }
        shape_of_node_.push_back(shape);
    }
    return {shape_of_node_[id], id, exp, reading_of(*n)};
}

LazyText& Expansion::text(std::uint32_t shape) {
    std::optional<LazyText>& text = shape_texts_[shape];
    if (!text) text = lazy_text(nodes_[shape_first_node_[shape]]);
    return *text;
}

// The front of a factor's text, if it was found already.
const Text* Expansion::known_front(const Expr& n) const {
    const auto id = node_ids_.find(&n);
    if (id == node_ids_.end()) return nullptr;
    const std::optional<LazyText>& text = shape_texts_[shape_of_node_[id->second]];
    return text ? &text->front : nullptr;
}

// Rendering stops at the factors whose fronts are known, so that a tree built over
// them costs only its own nodes.
LazyText Expansion::lazy_text(const ExprPtr& tree) {
    Text front = fold<Text>(
        *tree, &tree, [this](const Expr& n) { return known_front(n) ? Children{} : n.children(); },
        [this](const Expr& n, const ExprPtr*, std::span<Text> kids) {
            if (const Text* known = known_front(n)) return *known;
            Text text = n.render(kids);
            text.keep_front(front_size);
            return text;
        });
    ExprPtr source = front.is_whole() ? nullptr : tree;
    return {std::move(front), std::move(source)};
}

// Multiplies a monomial by f, merging it into a factor of the same shape. The node of
// the factor that comes first in the product stands for both: the one already there,
// unless `f_first`.
void absorb(Monomial& m, const Factor& f, bool f_first = false) {
    const auto at = std::lower_bound(m.vars.begin(), m.vars.end(), f.shape,
                                     [](const Factor& g, std::uint32_t shape) { return g.shape < shape; });
    if (at == m.vars.end() || at->shape != f.shape) {
        tally(m, *m.vars.insert(at, f), 1);
        return;
    }
    tally(m, *at, -1);
    at->exp = wrapping_add(at->exp, f.exp);
    if (f_first) at->node = f.node;
    tally(m, *at, 1);
}

// The product of two monomials, `a`'s factors standing for equal ones of `b`.
void multiply_into(Monomial& out, const Monomial& a, const Monomial& b) {
    out = Monomial{wrapping_mul(a.coeff, b.coeff), std::move(out.vars)};
    out.vars.clear();
    auto i = a.vars.begin(), j = b.vars.begin();
    while (i != a.vars.end() && j != b.vars.end()) {
        if (i->shape < j->shape) out.vars.push_back(*i++);
        else if (j->shape < i->shape) out.vars.push_back(*j++);
        else out.vars.push_back({i->shape, i->node, wrapping_add(i->exp, (j++)->exp), i->reading}), ++i;
    }
    out.vars.insert(out.vars.end(), i, a.vars.end());
    out.vars.insert(out.vars.end(), j, b.vars.end());
    for (const Factor& f : out.vars) tally(out, f, 1);
    Interruption::poll(out.vars.size());
}

// The same product, built in place in the longer operand: a long product grows by a
// few factors at a time without being copied.
Monomial multiply(Monomial&& a, Monomial&& b) {
    const int coeff = wrapping_mul(a.coeff, b.coeff);
    const bool grow_a = a.vars.size() >= b.vars.size();
    Monomial& into = grow_a ? a : b;
    for (const Factor& f : (grow_a ? b : a).vars) {
        Interruption::poll();
        absorb(into, f, !grow_a);
    }
    into.coeff = coeff;
    return std::move(into);
}

// Reads one summand: integers multiply the coefficient, negations negate it, products
// are read factor by factor from the left, a power with an integer exponent is its
// base with that exponent, and anything else is a factor of its own.
Monomial Expansion::parse_monomial(const ExprPtr& e) {
    Monomial m;
    std::vector<const ExprPtr*> pending{&e};
    while (!pending.empty()) {
        Interruption::poll();
        const ExprPtr& n = *pending.back();
        pending.pop_back();
        switch (n->type()) {
            case ExprType::INT: m.coeff = wrapping_mul(m.coeff, as<Int>(n).value()); break;
            case ExprType::NEG:
                m.coeff = wrapping_neg(m.coeff);
                pending.push_back(&as<Neg>(n).operand());
                break;
            case ExprType::MUL:
                pending.push_back(&as<Mul>(n).right());
                pending.push_back(&as<Mul>(n).left());
                break;
            case ExprType::POW:
                if (const Pow& p = as<Pow>(n); is_kind(p.exp(), ExprType::INT)) {
                    absorb(m, factor(p.base(), int_value(p.exp())));
                    break;
                }
                [[fallthrough]];
            default: absorb(m, factor(n, 1));
        }
    }
    return m;
}

// coeff * f1 * f2 * ..., factors in descending order of their text, as a left-nested
// product; a factor with exponent e != 1 becomes a power, one with exponent 0 drops out.
ExprPtr Expansion::build_monomial(const Monomial& m) {
    std::vector<Factor> order;
    for (const Factor& f : m.vars)
        if (f.exp != 0) order.push_back(f);
    std::size_t compared = 0;
    std::sort(order.begin(), order.end(), [this, &compared](const Factor& a, const Factor& b) {
        Interruption::poll_step(compared);
        const int c = a.shape == b.shape ? 0 : compare_texts(text(a.shape), text(b.shape));
        return c != 0 ? c > 0 : a.shape < b.shape;
    });
    ExprPtr product;
    for (const Factor& f : order) append_factor(product, node(f.node), f.exp);
    return make_term(m.coeff, std::move(product));
}

// Reads the summands of a sum, in the left-to-right order of its leaves.
void Expansion::flatten_add(const ExprPtr& e, std::vector<Monomial>& out) {
    std::vector<const ExprPtr*> pending{&e};
    while (!pending.empty()) {
        Interruption::poll();
        const ExprPtr& n = *pending.back();
        pending.pop_back();
        if (is_kind(n, ExprType::ADD)) {
            pending.push_back(&as<Add>(n).right());
            pending.push_back(&as<Add>(n).left());
        } else {
            out.push_back(parse_monomial(n));
        }
    }
}

std::uint32_t Expansion::key_of(const Monomial& m) {
    const auto [entry, inserted] = key_of_signature_.try_emplace(signature(m), 0);
    if (!inserted) return entry->second;
    for (const Factor& f : m.vars)
        if (f.exp != 0) text(f.shape);  // the fronts the key is rendered from
    LazyText key = lazy_text(build_monomial(Monomial{1, m.vars}));
    const std::size_t h = mix(key.front.size(), hash_bytes(key.front.view()));
    const auto [first, last] = keys_by_front_.equal_range(h);
    const auto same = std::find_if(first, last, [&](const auto& known) { return same_text(keys_[known.second], key); });
    if (same != last) return entry->second = same->second;
    keys_by_front_.emplace(h, static_cast<std::uint32_t>(keys_.size()));
    keys_.push_back(std::move(key));
    return entry->second = static_cast<std::uint32_t>(keys_.size() - 1);
}

// Cancelled factors count for nothing, so the counts stay as they are.
Monomial without_cancelled(Monomial m) {
    if (m.live != m.vars.size()) std::erase_if(m.vars, [](const Factor& f) { return f.exp == 0; });
    return m;
}

void Expansion::sort_terms(Poly& p) {
    if (p.sorted || p.terms.size() < 2) return;
    for (Term& t : p.terms) {
        Interruption::poll();
        key(t);
    }
    std::size_t compared = 0;
    std::sort(p.terms.begin(), p.terms.end(), [this, &compared](const Term& a, const Term& b) {
        Interruption::poll_step(compared);
        return key_before(keys_[a.key], keys_[b.key]);
    });
    p.position.clear();
    p.sorted = true;
}

// Groups summands by key in order of appearance: a group keeps the factors of its
// first member with a non-zero coefficient and sums the coefficients (wrapping).
class Grouping {
public:
    explicit Grouping(Expansion& owner) : owner_(owner) {}
    void add(Monomial m);
    std::vector<Term>& groups() { return groups_; }

private:
    Expansion& owner_;
    std::unordered_map<std::uint32_t, std::size_t> index_;
    std::vector<Term> groups_;
};

void Grouping::add(Monomial m) {
    Interruption::poll();
    if (m.coeff == 0) return;
    if (groups_.empty()) {  // a lone summand needs no key
        groups_.push_back({without_cancelled(std::move(m))});
        return;
    }
    if (index_.empty()) index_.emplace(owner_.key(groups_.front()), 0);
    const std::uint32_t key = owner_.key_of(m);
    const auto [at, fresh] = index_.try_emplace(key, groups_.size());
    if (fresh) groups_.push_back({without_cancelled(std::move(m)), key});
    else groups_[at->second].mono.coeff = wrapping_add(groups_[at->second].mono.coeff, m.coeff);
}

// The collected sum of grouped summands: cancelled groups dropped, terms in order.
Poly Expansion::collect_terms(std::vector<Term>&& groups) {
    Poly sum;
    sum.terms = std::move(groups);
    std::erase_if(sum.terms, [](const Term& t) { return t.mono.coeff == 0; });
    for (const Term& t : sum.terms) sum.irregular += !is_regular(t.mono);
    sum.sorted = false;
    sort_terms(sum);
    return sum;
}

// The summands a value contributes to an enclosing sum or product, in order; `take`
// moves them out of a collected sum that is not needed afterwards.
std::vector<Monomial> Expansion::summands(Value& value, bool take) {
    std::vector<Monomial> out;
    if (const ExprPtr* tree = std::get_if<ExprPtr>(&value)) {
        flatten_add(*tree, out);
        return out;
    }
    Poly& p = std::get<Poly>(value);
    sort_terms(p);
    out.reserve(p.terms.size());
    for (Term& t : p.terms) {
        Interruption::poll();
        if (!is_regular(t.mono)) flatten_add(build_monomial(t.mono), out);
        else if (take) out.push_back(std::move(t.mono));
        else out.push_back(t.mono);
    }
    return out;
}

// Adds summands to a collected sum whose terms read back as themselves; the result is
// what collecting all of them anew would give, in time proportional to the summands.
// `summands_first` says whether they stand before the sum's terms in the literal sum,
// which decides whose factors a shared group keeps.
void Expansion::merge_into(Poly& sum, std::vector<Monomial> summands, bool summands_first) {
    if (sum.position.empty())
        for (std::size_t i = 0; i < sum.terms.size(); ++i) {
            Interruption::poll();
            sum.position.emplace(key(sum.terms[i]), i);
        }
    // Groups that cancel among the summands still decide whose factors a shared group keeps.
    Grouping grouping(*this);
    for (Monomial& m : summands) grouping.add(std::move(m));
    std::vector<std::size_t> touched;
    for (Term& g : grouping.groups()) {
        Interruption::poll();
        const auto [at, fresh] = sum.position.try_emplace(key(g), sum.terms.size());
        if (fresh) {
            sum.terms.push_back(std::move(g));
            sum.irregular += !is_regular(sum.terms.back().mono);
            sum.sorted = false;
        } else {
            Term& t = sum.terms[at->second];
            sum.irregular -= !is_regular(t.mono);
            const int coeff = wrapping_add(t.mono.coeff, g.mono.coeff);
            if (summands_first) t.mono = std::move(g.mono);
            t.mono.coeff = coeff;
            sum.irregular += !is_regular(t.mono);
        }
        touched.push_back(at->second);
    }
    // Remove the groups that cancelled, back to front so that indices stay valid.
    std::sort(touched.begin(), touched.end(), std::greater<>());
    for (std::size_t i : touched) {
        if (sum.terms[i].mono.coeff != 0) continue;
        sum.irregular -= !is_regular(sum.terms[i].mono);
        sum.position.erase(sum.terms[i].key);
        if (i + 1 != sum.terms.size()) {
            sum.terms[i] = std::move(sum.terms.back());
            sum.position[sum.terms[i].key] = i;
        }
        sum.terms.pop_back();
        sum.sorted = false;
    }
}


// ---------------------------------------------------------------------------
// Expansion. Every sum, product, negation and integer power is collected on the way up,
// exactly as if each were rebuilt as a tree and collected anew; a long sum is extended
// term by term instead of being collected again at every level.

ExprPtr Expansion::tree_of(Value& value) {
    if (ExprPtr* tree = std::get_if<ExprPtr>(&value)) return *tree;
    Poly& p = std::get<Poly>(value);
    sort_terms(p);
    ExprPtr sum;
    for (const Term& t : p.terms) {
        Interruption::poll();
        append_term(sum, build_monomial(t.mono));
    }
    return sum ? sum : make_int(0);
}

Poly Expansion::collect(Value& value) {
    Grouping grouping(*this);
    for (Monomial& m : summands(value, true)) grouping.add(std::move(m));
    return collect_terms(std::move(grouping.groups()));
}

// A collected sum whose terms all read back as themselves is its own collection.
Poly Expansion::recollect(Value&& value) {
    if (Poly* p = std::get_if<Poly>(&value); p && p->irregular == 0) return std::move(*p);
    return collect(value);
}

Value Expansion::add(Value& left, Value& right) {
    Poly* l = std::get_if<Poly>(&left);
    Poly* r = std::get_if<Poly>(&right);
    const std::size_t l_size = l ? l->terms.size() : 1, r_size = r ? r->terms.size() : 1;
    if (l && l->irregular == 0 && l_size >= r_size) {
        merge_into(*l, summands(right, true), false);
        return std::move(*l);
    }
    if (r && r->irregular == 0) {
        merge_into(*r, summands(left, true), true);
        return std::move(*r);
    }
    Grouping grouping(*this);
    for (Value* side : {&left, &right})
        for (Monomial& m : summands(*side, true)) grouping.add(std::move(m));
    return collect_terms(std::move(grouping.groups()));
}

// Every summand of the left factor times every summand of the right one, left major.
// `take` consumes the operands (they must then be distinct values).
Poly Expansion::distribute_mul(Value& left, Value& right, bool take) {
    std::vector<Monomial> a = summands(left, take);
    std::vector<Monomial> b = summands(right, take);
    Grouping grouping(*this);
    if (a.size() == 1 && b.size() == 1) {
        grouping.add(multiply(std::move(a.front()), std::move(b.front())));
        return collect_terms(std::move(grouping.groups()));
    }
    Monomial product;
    for (const Monomial& x : a)
        for (const Monomial& y : b) {
            multiply_into(product, x, y);
            grouping.add(product);
        }
    return collect_terms(std::move(grouping.groups()));
}

// base^n by squaring from the most significant bit down, collecting every step.
Value Expansion::distribute_pow(Value& base, int n) {
    if (n == 0) return make_int(1);
    if (n == 1) return base;
    Value half = distribute_pow(base, n / 2);
    Value result = distribute_mul(half, half);
    if (n % 2 == 1) result = distribute_mul(result, base);
    return result;
}

Poly Expansion::negate(Value& operand) {
    Monomial m = parse_monomial(tree_of(operand));
    m.coeff = wrapping_neg(m.coeff);
    Grouping grouping(*this);
    grouping.add(std::move(m));
    return collect_terms(std::move(grouping.groups()));
}

Value Expansion::expand_node(const Expr& node, const ExprPtr* handle, std::span<Value> kids) {
    switch (const ExprType kind = node.type()) {
        case ExprType::ADD: return add(kids[0], kids[1]);
        case ExprType::MUL: return distribute_mul(kids[0], kids[1], true);
        case ExprType::NEG: return negate(kids[0]);
        case ExprType::POW: {
            const ExprPtr& exponent = static_cast<const Pow&>(node).exp();
            if (is_kind(exponent, ExprType::INT) && int_value(exponent) >= 0)
                return recollect(distribute_pow(kids[0], int_value(exponent)));
            return make<Pow>(tree_of(kids[0]), exponent);
        }
        case ExprType::SQRT:
        case ExprType::CBRT:
        case ExprType::SIN:
        case ExprType::COS:
        case ExprType::TAN:
        case ExprType::LOG: return make_unary(kind, tree_of(kids[0]));
        default: return *handle;  // leaves and quotients are not expanded
    }
}

// The subtrees expansion descends into: a quotient is kept whole, an exponent as it is.
Children expanded_children(const Expr& node) {
    switch (node.type()) {
        case ExprType::DIV: return {};
        case ExprType::POW: return {{&static_cast<const Pow&>(node).base()}, 1};
        default: return node.children();
    }
}

// ---------------------------------------------------------------------------
// Polynomials in one-letter variables. Over integers and variables named by one ASCII
// letter, joined by sums, products, negations of single terms and non-negative integer
// powers, collecting is plain polynomial arithmetic modulo 2^32: no two products render
// alike, nothing is read back differently, and when each letter is a single node it
// does not matter which member of a group is kept. Such trees, the everyday input,
// are expanded on exponents packed into one machine word.

// The letters of a polynomial tree, one slot each in descending byte order (the order
// of factors in a term). A slot is wide enough for every exponent of its letter met
// while expanding the tree; slot 0 takes the lowest bits of a word.
struct Letters {
    struct Slot {
        char name;
        ExprPtr node;
        int shift;           // where the slot starts in a word
        std::uint64_t mask;  // the slot's bits, in place
        std::uint64_t later;  // the bits of the slots after it

        // Lowercase letters come after '^' in byte order, capitals before it: whether one
        // follows decides if a letter's first power sorts before or after its powers.
        bool lowercase() const { return name > '^'; }
    };
    std::vector<Slot> slots;
    std::array<std::uint8_t, 64> slot_of_bit{};
    std::uint64_t tops = 0;  // the highest bit of every slot
    std::uint64_t lows = 0;  // the other bits of every slot

    // The slots with a non-zero exponent in a word, as their top bits: within each slot,
    // adding the lower bits to themselves carries into the top bit exactly when one is set,
    // and never beyond it.
    std::uint64_t factors_of(std::uint64_t word) const { return (((word & lows) + lows) | word) & tops; }
};

bool is_letter(const std::string& name) {
    return name.size() == 1 && ((name[0] >= 'a' && name[0] <= 'z') || (name[0] >= 'A' && name[0] <= 'Z'));
}

// What the fast expansion reads of a node: a power's exponent is a number, and the base
// of a zero power is never multiplied out (it is 1, whatever it holds).
Children polynomial_children(const Expr& n) {
    if (n.type() != ExprType::POW) return n.children();
    const Pow& power = static_cast<const Pow&>(n);
    if (is_int(power.exp(), 0)) return {};
    return {{&power.base()}, 1};
}

// Finds the letters of a polynomial tree and, letter by letter, a bound on the exponents
// met while expanding it; a subtree's bounds are indexed by the order letters were met.
class LetterScan {
public:
    // Nothing when the tree is not such a polynomial or an exponent may not fit an int.
    std::optional<Letters> scan(const ExprPtr& root);

private:
    using Degrees = std::vector<std::uint64_t>;
    static constexpr std::uint64_t cap = std::uint64_t{1} << 31;

    Degrees degrees(const Expr& n, const ExprPtr* handle, std::span<Degrees> kids);
    Degrees of_letter(const ExprPtr& handle);
    template <class Op>
    static Degrees combine(Degrees a, const Degrees& b, Op op) {
        if (a.size() < b.size()) a.resize(b.size(), 0);
        for (std::size_t i = 0; i < b.size(); ++i) a[i] = std::min(op(a[i], b[i]), cap);
        return a;
    }

    void check_zero_power_bases() const;

    // Letters are ASCII: bit c - 64 of `met_` for the letter c, and its index in nodes_.
    std::uint64_t met_ = 0;
    std::array<int, 64> index_of_{};
    std::vector<const ExprPtr*> nodes_;
    std::vector<const ExprPtr*> zero_power_bases_;  // in the order simplify meets them
    bool polynomial_ = true;
};

LetterScan::Degrees LetterScan::of_letter(const ExprPtr& handle) {
    const std::string& name = as<Var>(handle).name();
    if (!is_letter(name)) {
        polynomial_ = false;
        return {};
    }
    const unsigned bit = static_cast<unsigned char>(name[0]) - 64u;
    int& index = index_of_[bit];
    if (!(met_ >> bit & 1)) {
        met_ |= std::uint64_t{1} << bit;
        index = static_cast<int>(nodes_.size());
        nodes_.push_back(&handle);
    } else if (*nodes_[static_cast<std::size_t>(index)] != handle) {
        polynomial_ = false;  // two nodes for one letter
        return {};
    }
    Degrees d(static_cast<std::size_t>(index) + 1, 0);
    d.back() = 1;
    return d;
}

LetterScan::Degrees LetterScan::degrees(const Expr& n, const ExprPtr* handle, std::span<Degrees> kids) {
    if (!polynomial_) return {};
    switch (n.type()) {
        case ExprType::INT: return {};
        case ExprType::VAR: return of_letter(*handle);
        case ExprType::NEG: return std::move(kids[0]);
        case ExprType::ADD: return combine(std::move(kids[0]), kids[1], [](auto a, auto b) { return std::max(a, b); });
        case ExprType::MUL: return combine(std::move(kids[0]), kids[1], std::plus<>());
        case ExprType::POW: {
            const ExprPtr& exponent = static_cast<const Pow&>(n).exp();
            if (!is_kind(exponent, ExprType::INT) || int_value(exponent) < 0) break;
            if (kids.empty()) {  // a zero power
                zero_power_bases_.push_back(&static_cast<const Pow&>(n).base());
                return {};
            }
            const auto e = static_cast<std::uint64_t>(int_value(exponent));
            for (std::uint64_t& d : kids[0]) d = std::min(d * e, cap);
            return std::move(kids[0]);
        }
        default: break;
    }
    polynomial_ = false;
    return {};
}

// A zero power is 1 without its base being multiplied out, but an error in the base is
// still an error: simplifying the bases (in the order simplify meets them, outside them
// nothing can fail) raises exactly what simplifying the whole tree would.
void LetterScan::check_zero_power_bases() const {
    std::unordered_set<const Expr*> checked;
    for (const ExprPtr* base : zero_power_bases_)
        if (checked.insert(base->get()).second) simplify(*base);
}

std::optional<Letters> LetterScan::scan(const ExprPtr& root) {
    const Degrees bound = fold<Degrees>(*root, &root, polynomial_children,
                                        [this](const Expr& n, const ExprPtr* h, std::span<Degrees> kids) {
                                            return degrees(n, h, kids);
                                        });
    if (!polynomial_) return std::nullopt;
    check_zero_power_bases();
    Letters letters;
    letters.slots.reserve(nodes_.size());
    int shift = 0;
    for (std::uint64_t left = met_; left != 0;) {  // the letters in descending order
        const int bit = 63 - std::countl_zero(left);
        left &= ~(std::uint64_t{1} << bit);
        const auto index = static_cast<std::size_t>(index_of_[static_cast<std::size_t>(bit)]);
        const std::uint64_t degree = bound[index];  // the root has met every letter
        if (degree > static_cast<std::uint64_t>(std::numeric_limits<int>::max())) return std::nullopt;
        const int width = std::max(1, static_cast<int>(std::bit_width(degree)));
        if (shift + width > 64) return std::nullopt;
        for (int b = shift; b < shift + width; ++b)
            letters.slot_of_bit[static_cast<std::size_t>(b)] = static_cast<std::uint8_t>(letters.slots.size());
        letters.tops |= std::uint64_t{1} << (shift + width - 1);
        letters.lows |= ((std::uint64_t{1} << (width - 1)) - 1) << shift;
        const std::uint64_t mask = ((std::uint64_t{1} << width) - 1) << shift;
        const int start = shift;
        shift += width;
        letters.slots.push_back({static_cast<char>(bit + 64), *nodes_[index], start, mask,
                                 shift < 64 ? ~std::uint64_t{0} << shift : 0});
    }
    return letters;
}

// A polynomial as packed exponent words with wrapping coefficients, indexed by word.
class Dense {
public:
    std::size_t size() const { return words_.size(); }

    void add(std::uint64_t word, std::uint32_t coeff) {
        if (slots_.empty() && words_.size() < small_size) return add_by_scan(word, coeff);  // a short scan beats an index
        if (2 * (words_.size() + 1) > slots_.size()) grow();
        std::size_t i = slot_of(word);
        while (slots_[i] != 0 && words_[slots_[i] - 1] != word) i = (i + 1) & (slots_.size() - 1);
        if (slots_[i] != 0) {
            coeffs_[slots_[i] - 1] += coeff;
            return;
        }
        words_.push_back(word);
        coeffs_.push_back(coeff);
        slots_[i] = static_cast<std::uint32_t>(words_.size());
    }

    void add_all(const Dense& other) {
        Interruption::poll(other.size());
        // A few terms, such as the 1 of p + 1, are found by scanning: indexing a long sum
        // for them would cost more.
        const bool scan = slots_.empty() && other.size() < small_size;
        for (std::size_t i = 0; i < other.size(); ++i) {
            if (scan) add_by_scan(other.words_[i], other.coeffs_[i]);
            else add(other.words_[i], other.coeffs_[i]);
        }
    }

    void add_by_scan(std::uint64_t word, std::uint32_t coeff) {
        const auto at = std::find(words_.begin(), words_.end(), word);
        if (at == words_.end()) append(word, coeff);
        else coeffs_[static_cast<std::size_t>(at - words_.begin())] += coeff;
    }

    // Exponents add slot by slot without carries, as every slot holds the bound. `scratch`
    // is an array indexed by word, all zero between calls, kept to spare a large
    // allocation each time.
    Dense times(const Dense& other, std::vector<std::uint32_t>& scratch) const {
        if (!(bits_used() & other.bits_used())) return times_apart(other);
        const std::uint64_t top = largest_word() + other.largest_word();
        if (top >= direct_index_limit && top / 4 <= size() * other.size()) return times_by_blocks(other, top);
        if (top < direct_index_limit) {
            const auto range = static_cast<std::size_t>(top);
            if (scratch.size() <= range) scratch.resize(range + 1, 0);
            if (summed(other, top)) {
                add_products(other, scratch);
                Dense product;
                product.take_sums(std::span(scratch).first(range + 1), 0);
                return product;
            }
            return times_by_index(other, scratch);
        }
        Dense product;
        for (std::size_t i = 0; i < size(); ++i) {
            poll_rows(i, other.size());
            if (coeffs_[i] == 0) continue;
            for (std::size_t j = 0; j < other.size(); ++j)
                product.add(words_[i] + other.words_[j], coeffs_[i] * other.coeffs_[j]);
        }
        return product;
    }

    // The largest word of the product where times sums it by word, else nothing.
    std::optional<std::uint64_t> summed_up_to(const Dense& other) const {
        if (!(bits_used() & other.bits_used())) return std::nullopt;
        const std::uint64_t top = largest_word() + other.largest_word();
        if (top >= direct_index_limit || !summed(other, top)) return std::nullopt;
        return top;
    }

    // The product, summed by word up to `top` (as summed_up_to gives it), with its terms in
    // the order that `order` walks their words: the sums are read in that order instead of
    // being sorted afterwards.
    template <class Order>
    Dense times_in_order(const Dense& other, std::uint64_t top, std::vector<std::uint32_t>& sums, Order& order) const {
        // Every word walked lies in the array, also above the largest product.
        const auto end = static_cast<std::size_t>(std::max(top, order.largest_word()) + 1);
        if (sums.size() < end) sums.resize(end, 0);
        add_products(other, sums);
        Interruption::poll(order.size());
        // Written in place first: every word walked takes a place, which only a non-zero
        // sum keeps.
        const auto walked_words = std::make_unique_for_overwrite<std::uint64_t[]>(order.size());
        const auto walked_coeffs = std::make_unique_for_overwrite<std::uint32_t[]>(order.size());
        std::uint64_t* words = walked_words.get();
        std::uint32_t* coeffs = walked_coeffs.get();
        std::uint32_t* at_word = sums.data();
        order.walk([&](std::uint64_t row, std::span<const std::uint64_t> last_slot) {
            // Written without a branch, as taking sums is.
            for (const std::uint64_t bits : last_slot) {
                const std::uint64_t word = row | bits;
                *words = word;
                *coeffs = at_word[word];
                at_word[word] = 0;
                const bool nonzero = *coeffs != 0;
                words += nonzero;
                coeffs += nonzero;
            }
        });
        Dense product;
        product.words_.assign(walked_words.get(), words);
        product.coeffs_.assign(walked_coeffs.get(), coeffs);
        return product;
    }

    void reserve(std::size_t terms) {
        words_.reserve(terms);
        coeffs_.reserve(terms);
    }
    // Appends a term whose word is known to be new.
    void append(std::uint64_t word, std::uint32_t coeff) {
        words_.push_back(word);
        coeffs_.push_back(coeff);
        slots_.clear();
    }
    // Where no bit is set in words of both operands, every product of two words is their
    // bitwise or, and two products that agree come from the same words.
    std::uint64_t bits_used() const {
        return std::accumulate(words_.begin(), words_.end(), std::uint64_t{0}, std::bit_or<>());
    }

    std::uint64_t largest_word() const { return words_.empty() ? 0 : *std::max_element(words_.begin(), words_.end()); }

    std::size_t nonzero_terms() const {
        return static_cast<std::size_t>(std::count_if(coeffs_.begin(), coeffs_.end(), [](std::uint32_t c) { return c != 0; }));
    }
    void negate() {
        for (std::uint32_t& c : coeffs_) c = 0u - c;
    }
    std::uint64_t word(std::size_t i) const { return words_[i]; }
    int coeff(std::size_t i) const { return static_cast<int>(coeffs_[i]); }

private:
    // A product polls every 64 of its rows, which may be only a few terms long.
    static void poll_rows(std::size_t row, std::size_t row_length) {
        if (row % 64 == 0) Interruption::poll(64 * row_length);
    }

    // Products with exponent words below this are found through an array indexed by word.
    static constexpr std::uint64_t direct_index_limit = 1 << 16;
    // Words summed at a time by times_by_blocks: 128 KiB of sums.
    static constexpr std::size_t block_size = 1 << 15;
    // Up to this many terms are found by scanning; the hash index is built beyond.
    static constexpr std::size_t small_size = 8;

    // Without a common bit, every product of two terms is a term of its own.
    Dense times_apart(const Dense& other) const {
        Dense product;
        product.words_.reserve(size() * other.size());
        product.coeffs_.reserve(size() * other.size());
        for (std::size_t i = 0; i < size(); ++i) {
            poll_rows(i, other.size());
            for (std::size_t j = 0; j < other.size(); ++j)
                product.append(words_[i] + other.words_[j], coeffs_[i] * other.coeffs_[j]);
        }
        return product;
    }

    // The terms with non-zero coefficients in ascending order of their words, which end
    // with a word above all others (and coefficient 0), so that loops need no bound.
    std::pair<std::vector<std::uint64_t>, std::vector<std::uint32_t>> ascending() const {
        std::vector<std::pair<std::uint64_t, std::uint32_t>> terms;
        for (std::size_t i = 0; i < size(); ++i)
            if (coeffs_[i] != 0) terms.emplace_back(words_[i], coeffs_[i]);
        std::sort(terms.begin(), terms.end());
        terms.emplace_back(std::numeric_limits<std::uint64_t>::max(), 0);
        std::pair<std::vector<std::uint64_t>, std::vector<std::uint32_t>> split;
        for (const auto& [word, coeff] : terms) {
            split.first.push_back(word);
            split.second.push_back(coeff);
        }
        return split;
    }

    // Where the products fill much of a range of words too large for one array, the range
    // is summed a block at a time in an array small enough to stay in the processor's cache.
    // With both operands in ascending order, the products of one term that fall in a block
    // are consecutive terms of the other operand, met where the previous block left off.
    Dense times_by_blocks(const Dense& other, std::uint64_t top) const {
        const auto [a_words, a_coeffs] = ascending();
        const auto [b_words, b_coeffs] = other.ascending();
        std::vector<std::size_t> next(a_words.size(), 0);  // per term of a: the first term of b not yet multiplied
        std::vector<std::uint32_t> sums(block_size, 0);
        Dense product;
        for (std::uint64_t start = 0; start <= top; start += block_size) {
            const std::uint64_t end = start + block_size;
            for (std::size_t i = 0; a_words[i] < end; ++i) {
                // Products below `end` are those with a word of b below `limit`; they land
                // at b's word plus `offset` (modulo 2^64, as the offset may be negative).
                const std::uint64_t limit = end - a_words[i], offset = a_words[i] - start;
                const std::uint32_t coeff = a_coeffs[i];
                std::size_t j = next[i];
                for (; b_words[j] < limit; ++j) sums[static_cast<std::size_t>(b_words[j] + offset)] += coeff * b_coeffs[j];
                Interruption::poll(j - next[i]);
                next[i] = j;
            }
            product.take_sums(sums, start);
        }
        return product;
    }

    // Where products below `top` fill much of the range, summing by word and reading the
    // sums back in one sweep beats finding each product's term.
    bool summed(const Dense& other, std::uint64_t top) const { return top <= 2 * size() * other.size(); }

    // Adds every product to the sum of its word (all sums zero before). Where the operands
    // share many terms (a square, p(p + 1)), the shared part c is squared by symmetry, each
    // pair of its terms multiplied once: a·b = c² + c·(a' + b') + a'·b', where a' and b'
    // are the rest of each.
    void add_products(const Dense& other, std::span<std::uint32_t> sums) const {
        // Only a product of many terms repays looking for shared ones, and only a large
        // shared part repays squaring it apart.
        const std::size_t products = size() * other.size();
        if (products < shared_terms_worth) return add_all_products(other, sums);
        // The sums, all zero, serve as an index of the other's terms meanwhile: every word
        // of either sum is below sums.size().
        other.index_in(sums);
        if (4 * triangle(shared_terms(other, sums)) < products) {
            other.unindex_in(sums);
            return add_all_products(other, sums);
        }
        Dense common, rest, other_rest;
        split_shared(other, sums, common, rest, other_rest);
        common.add_square(sums);
        rest.add_all_products(other_rest, sums);
        // a' + b' as one list of terms, a word in both standing twice: its products are
        // summed all the same.
        rest.words_.insert(rest.words_.end(), other_rest.words_.begin(), other_rest.words_.end());
        rest.coeffs_.insert(rest.coeffs_.end(), other_rest.coeffs_.begin(), other_rest.coeffs_.end());
        common.add_all_products(rest, sums);
    }

    static constexpr std::size_t shared_terms_worth = 4096;
    static std::size_t triangle(std::size_t n) { return n * (n + 1) / 2; }

    // How many terms of this sum `other`, indexed in `index`, has with the same coefficient.
    std::size_t shared_terms(const Dense& other, std::span<const std::uint32_t> index) const {
        std::size_t shared = 0;
        for (std::size_t i = 0; i < size(); ++i) shared += other.has(words_[i], coeffs_[i], index);
        return shared;
    }

    // The terms of this sum that `other`, indexed in `index`, has with the same coefficient,
    // the others, and the other's others; the index is cleared on the way.
    void split_shared(const Dense& other, std::span<std::uint32_t> index, Dense& common, Dense& rest, Dense& other_rest) const {
        common.reserve(size());
        rest.reserve(size());
        for (std::size_t i = 0; i < size(); ++i) {
            const bool same = other.has(words_[i], coeffs_[i], index);
            if (same) index[static_cast<std::size_t>(words_[i])] = 0;  // taken
            Dense& part = same ? common : rest;
            part.words_.push_back(words_[i]);
            part.coeffs_.push_back(coeffs_[i]);
        }
        for (std::size_t j = 0; j < other.size(); ++j) {
            std::uint32_t& at = index[static_cast<std::size_t>(other.words_[j])];
            if (at != 0) other_rest.append(other.words_[j], other.coeffs_[j]);
            at = 0;
        }
    }

    void index_in(std::span<std::uint32_t> sums) const {
        for (std::size_t i = 0; i < size(); ++i) sums[static_cast<std::size_t>(words_[i])] = static_cast<std::uint32_t>(i + 1);
    }
    void unindex_in(std::span<std::uint32_t> sums) const {
        for (const std::uint64_t word : words_) sums[static_cast<std::size_t>(word)] = 0;
    }
    bool has(std::uint64_t word, std::uint32_t coeff, std::span<const std::uint32_t> index) const {
        const std::uint32_t at = index[static_cast<std::size_t>(word)];
        return at != 0 && coeffs_[at - 1] == coeff;
    }

    void add_all_products(const Dense& other, std::span<std::uint32_t> sums) const {
        for (std::size_t i = 0; i < size(); ++i) {
            poll_rows(i, other.size());
            for (std::size_t j = 0; j < other.size(); ++j)
                sums[static_cast<std::size_t>(words_[i] + other.words_[j])] += coeffs_[i] * other.coeffs_[j];
        }
    }

    // Adds the square: each term squared, and twice the product of each pair.
    void add_square(std::span<std::uint32_t> sums) const {
        for (std::size_t i = 0; i < size(); ++i) {
            poll_rows(i, size() - i);
            const std::uint32_t twice = 2 * coeffs_[i];
            sums[static_cast<std::size_t>(2 * words_[i])] += coeffs_[i] * coeffs_[i];
            for (std::size_t j = i + 1; j < size(); ++j)
                sums[static_cast<std::size_t>(words_[i] + words_[j])] += twice * coeffs_[j];
        }
    }

    // Appends the non-zero sums, sums[k] as the term of word `start` + k, and sets every sum
    // to zero. Written without a branch per sum: zero and non-zero sums alternate
    // unpredictably.
    void take_sums(std::span<std::uint32_t> sums, std::uint64_t start) {
        std::size_t terms = size();
        words_.resize(terms + sums.size());
        coeffs_.resize(terms + sums.size());
        for (std::size_t k = 0; k < sums.size(); ++k) {
            words_[terms] = start + k;
            coeffs_[terms] = sums[k];
            terms += sums[k] != 0;
            sums[k] = 0;
        }
        words_.resize(terms);
        coeffs_.resize(terms);
        slots_.clear();
    }

    Dense times_by_index(const Dense& other, std::vector<std::uint32_t>& index) const {
        Dense product;
        for (std::size_t i = 0; i < size(); ++i) {
            poll_rows(i, other.size());
            if (coeffs_[i] == 0) continue;
            for (std::size_t j = 0; j < other.size(); ++j) {
                const std::uint64_t word = words_[i] + other.words_[j];
                std::uint32_t& at = index[static_cast<std::size_t>(word)];
                if (at == 0) {
                    product.words_.push_back(word);
                    product.coeffs_.push_back(0);
                    at = static_cast<std::uint32_t>(product.words_.size());
                }
                product.coeffs_[at - 1] += coeffs_[i] * other.coeffs_[j];
            }
        }
        product.unindex_in(index);
        return product;
    }


    // The top bits of the word times a random odd number: a universal hash.
    std::size_t slot_of(std::uint64_t word) const {
        return static_cast<std::size_t>((word * hash_key[2]) >> (64 - std::countr_zero(slots_.size())));
    }
    void grow() {
        slots_.assign(std::max<std::size_t>(16, std::bit_ceil(4 * (words_.size() + 1))), 0);
        for (std::size_t k = 0; k < words_.size(); ++k) {
            std::size_t i = slot_of(words_[k]);
            while (slots_[i] != 0) i = (i + 1) & (slots_.size() - 1);
            slots_[i] = static_cast<std::uint32_t>(k + 1);
        }
    }

    std::vector<std::uint64_t> words_;
    std::vector<std::uint32_t> coeffs_;
    std::vector<std::uint32_t> slots_;  // 1 + index into words_, or 0 for a free slot
};

// Powers up to this are expanded by the multinomial theorem where it applies.
constexpr int largest_multinomial_power = 1 << 16;

// Binomial coefficients modulo 2^32. Where many are read, Pascal's triangle up to n is
// made once by additions; otherwise each is found from factorials split into their odd
// part, which has an inverse modulo 2^32, and their power of two.
class Binomials {
public:
    Binomials(std::size_t n, std::size_t reads) {
        if ((n + 1) * (n + 2) / 2 <= reads) {
            triangle_.resize((n + 1) * (n + 2) / 2);
            for (std::size_t r = 0; r <= n; ++r) {
                std::uint32_t* row = &triangle_[r * (r + 1) / 2];
                const std::uint32_t* above = r ? &triangle_[(r - 1) * r / 2] : nullptr;
                row[0] = row[r] = 1;
                for (std::size_t k = 1; k < r; ++k) row[k] = above[k - 1] + above[k];
            }
            return;
        }
        factorials_.resize(n + 1);
        factorials_[0] = {1, 1, 0};
        for (std::size_t i = 1; i <= n; ++i) {
            const int twos = std::countr_zero(i);
            factorials_[i].odd = factorials_[i - 1].odd * static_cast<std::uint32_t>(i >> twos);
            factorials_[i].twos = factorials_[i - 1].twos + static_cast<unsigned>(twos);
        }
        factorials_[n].inverse_odd = inverse(factorials_[n].odd);
        for (std::size_t i = n; i > 1; --i)
            factorials_[i - 1].inverse_odd = factorials_[i].inverse_odd * static_cast<std::uint32_t>(i >> std::countr_zero(i));
    }
    std::uint32_t operator()(std::size_t n, std::size_t k) const {
        if (!triangle_.empty()) return triangle_[n * (n + 1) / 2 + k];
        const Factorial &all = factorials_[n], &chosen = factorials_[k], &rest = factorials_[n - k];
        const unsigned twos = all.twos - chosen.twos - rest.twos;
        return twos >= 32 ? 0 : all.odd * chosen.inverse_odd * rest.inverse_odd << twos;
    }

private:
    struct Factorial {
        std::uint32_t odd, inverse_odd;
        unsigned twos;
    };
    // Newton's iteration doubles the correct low bits; an odd a is its own inverse modulo 8.
    static std::uint32_t inverse(std::uint32_t a) {
        std::uint32_t x = a;
        for (int i = 0; i < 4; ++i) x *= 2 - a * x;
        return x;
    }
    std::vector<std::uint32_t> triangle_;  // row r from r(r + 1)/2
    std::vector<Factorial> factorials_;
};

// The number of terms of a power of `terms` terms that share no letter, C(n + t - 1, t - 1),
// or `most` if that is smaller.
std::size_t multinomial_terms(std::size_t terms, std::size_t n, std::size_t most) {
    std::size_t count = 1;  // C(n + k, k) for k = 0, 1, ...; each step divides exactly
    for (std::size_t k = 1; k < terms && count < most; ++k) count = count * (n + k) / k;
    return std::min(count, most);
}

// table[i * (n + 1) + k]: coefficient i to the power k, modulo 2^32.
std::vector<std::uint32_t> powers_of_coefficients(std::span<const std::uint32_t> coeffs, std::size_t n) {
    std::vector<std::uint32_t> table(coeffs.size() * (n + 1), 1);
    for (std::size_t i = 0; i < coeffs.size(); ++i)
        for (std::size_t k = 1; k <= n; ++k) table[i * (n + 1) + k] = table[i * (n + 1) + k - 1] * coeffs[i];
    return table;
}

// The terms of base^n, by the multinomial theorem, when no two terms of the base share a
// letter: every choice of powers of the terms is then a term of its own, made once. A
// choice is built term by term, each level extending the word and coefficient above it.
Dense power_apart(const Dense& base, int power) {
    struct Summand {
        std::uint64_t word;
        std::uint32_t coeff;
    };
    std::vector<Summand> summands;
    for (std::size_t i = 0; i < base.size(); ++i)
        if (base.coeff(i) != 0) summands.push_back({base.word(i), static_cast<std::uint32_t>(base.coeff(i))});
    Dense result;
    const std::size_t t = summands.size(), n = static_cast<std::size_t>(power);
    if (t <= 1) {  // a monomial, the everyday factor
        if (t == 1) result.append(n * summands[0].word, static_cast<std::uint32_t>(int_pow(static_cast<int>(summands[0].coeff), power)));
        return result;
    }
    // Reserving once spares the copies of a growing result, up to a size that could be
    // mostly zero coefficients (those wrap to 0 modulo 2^32 and are left out).
    const std::size_t terms = multinomial_terms(t, n, std::size_t{1} << 20);
    result.reserve(terms);
    const Binomials binomial(n, terms);
    std::vector<std::uint32_t> coeffs(t);
    std::transform(summands.begin(), summands.end(), coeffs.begin(), [](const Summand& s) { return s.coeff; });
    const std::vector<std::uint32_t> powers = powers_of_coefficients(coeffs, n);  // of term d at d * (n + 1)
    // At level d: the power k of term d, out of the rest left by the levels above, and the
    // word and coefficient of the choice so far.
    struct Level {
        std::size_t k = 0, rest = 0;
        std::uint64_t word = 0;
        std::uint32_t coeff = 1;
    };
    std::vector<Level> levels(t);
    levels[0].rest = n;
    const auto descend = [&](std::size_t d) {
        const Level& above = levels[d];
        Level& below = levels[d + 1];
        below.rest = above.rest - above.k;
        below.word = above.word + above.k * summands[d].word;
        below.coeff = above.coeff * binomial(above.rest, above.k) * powers[d * (n + 1) + above.k];
    };
    for (std::size_t d = 0;;) {
        for (; d + 2 < t; ++d) {
            levels[d].k = 0;
            descend(d);
        }
        // The last two terms share the power that is left, in every split of it: the
        // innermost loop, kept free of the levels above.
        const Level& level = levels[d];
        const std::uint32_t *first = &powers[d * (n + 1)], *second = &powers[(d + 1) * (n + 1)];
        for (std::size_t k = 0; k <= level.rest; ++k) {
            const std::uint32_t c = level.coeff * binomial(level.rest, k) * first[k] * second[level.rest - k];
            if (c != 0) result.append(level.word + k * summands[d].word + (level.rest - k) * summands[d + 1].word, c);
        }
        Interruption::poll(level.rest + 1);
        do {
            if (d == 0) return result;
            --d;
        } while (levels[d].k == levels[d].rest);
        ++levels[d].k;
        descend(d);
        ++d;
    }
}

bool terms_apart(const Dense& p, const Letters& letters) {
    std::uint64_t seen = 0;
    for (std::size_t i = 0; i < p.size(); ++i) {
        if (p.coeff(i) == 0) continue;
        const std::uint64_t factors = letters.factors_of(p.word(i));
        if (seen & factors) return false;
        seen |= factors;
    }
    return true;
}

// The exponents 2 to `largest` in ascending order of their texts, each closed by '}':
// the decimal numbers as a tree (n is the parent of n0 to n9) walked children first,
// since '}' comes after every digit.
std::vector<std::uint64_t> powers_in_text_order(std::uint64_t largest) {
    const auto first_descendant = [largest](std::uint64_t n) {
        while (n * 10 <= largest) n *= 10;
        return n;
    };
    std::vector<std::uint64_t> order;
    order.reserve(largest >= 2 ? largest - 1 : 0);
    for (std::uint64_t n = first_descendant(1);;) {
        if (n >= 2) order.push_back(n);
        if (n % 10 != 9 && n < largest) n = first_descendant(n + 1);  // the next sibling
        else if (n >= 10) n /= 10;                                     // the parent, after its children
        else return order;
    }
}

// The words of a box of exponents, each slot from 0 to its own largest and their sum at
// most `degree`, in term order (descending keys, see TermKeys), walked slot by slot
// without a key being computed. At each slot the exponents come by descending rank: 1
// before a lowercase letter, the powers by their text, 1 before a capital or the end,
// then 0. Choosing the first 1 requires a lowercase letter with a non-zero exponent later,
// the second forbids one; the walk prunes what breaks these conditions, so that it meets
// every word once.
class WordsInTermOrder {
public:
    // Nothing where the box holds more than `most` words, or more than a product summed by
    // word may hold.
    static std::optional<WordsInTermOrder> of(const Letters& letters, std::span<const std::uint64_t> largest,
                                              std::uint64_t degree, std::uint64_t most) {
        most = std::min<std::uint64_t>(most, largest_walk);
        std::uint64_t size = 1;
        for (std::size_t s = 0; s < largest.size(); ++s) {
            if (largest[s] >= most) return std::nullopt;
            size *= largest[s] + 1 + (largest[s] >= 2 && letters.slots[s].later != 0);  // a bound
            if (size > most) return std::nullopt;
        }
        return WordsInTermOrder(letters, largest, degree, static_cast<std::size_t>(size));
    }

    // At least the number of words walked.
    std::size_t size() const { return size_; }
    std::uint64_t largest_word() const { return largest_word_; }

    // Calls visit(row, last) for rows of words in order: the words row | b for b in last.
    template <class Visit>
    void walk(Visit&& visit) { walk_from(0, 0, degree_, false, false, visit); }

private:
    static constexpr std::uint64_t largest_walk = 1 << 17;

    enum class Condition : std::uint8_t { none, lowercase_after, no_lowercase_after };
    struct Choice {
        std::uint64_t bits;
        std::uint64_t exponent;
        Condition condition;
    };
    struct Slot {
        std::size_t begin, end;  // its choices
        bool lowercase, last_lowercase;
    };
    // How the walk reaches the last slot.
    enum State { free, need_lowercase, no_lowercase, states };

    WordsInTermOrder(const Letters& letters, std::span<const std::uint64_t> largest, std::uint64_t degree, std::size_t size)
        : slots_(letters.slots.size()), size_(size), degree_(degree) {
        choices_.reserve(std::accumulate(largest.begin(), largest.end(), 3 * largest.size()));
        // Every slot's powers, in the order of the largest exponent's: a smaller exponent's
        // are among them.
        const std::vector<std::uint64_t> powers = powers_in_text_order(*std::max_element(largest.begin(), largest.end()));
        bool lowercase_after = false;
        for (std::size_t s = slots_.size(); s-- > 0;) {
            const Letters::Slot& letter = letters.slots[s];
            const std::uint64_t most = largest[s];
            const auto choose = [&](std::uint64_t e, Condition condition) { choices_.push_back({e << letter.shift, e, condition}); };
            const std::size_t begin = choices_.size();
            if (most >= 2) {
                if (lowercase_after) choose(1, Condition::lowercase_after);
                for (auto p = powers.rbegin(); p != powers.rend(); ++p)
                    if (*p <= most) choose(*p, Condition::none);
                choose(1, lowercase_after ? Condition::no_lowercase_after : Condition::none);
            } else if (most == 1) {
                choose(1, Condition::none);
            }
            choose(0, Condition::none);
            const bool lowercase = letter.lowercase();
            slots_[s] = {begin, choices_.size(), lowercase, lowercase && !lowercase_after};
            lowercase_after |= lowercase;
            largest_word_ += most << letter.shift;
        }
        last_most_ = largest.back();
        last_words_at_.assign(states * (last_most_ + 1), {no_list, no_list});
        last_words_.reserve(states * (slots_.back().end - slots_.back().begin));
    }

    // Slot `s` on, `word` holding the choices before it and `budget` the degree they leave;
    // a later lowercase letter must have a non-zero exponent where `need`, none may where
    // `none` (never both).
    template <class Visit>
    void walk_from(std::size_t s, std::uint64_t word, std::uint64_t budget, bool need, bool none, Visit& visit) {
        if (s + 1 == slots_.size()) return visit(word, last_words(need ? need_lowercase : none ? no_lowercase : free, budget));
        const Slot& slot = slots_[s];
        for (std::size_t c = slot.begin; c < slot.end; ++c) {
            const Choice& choice = choices_[c];
            if (choice.exponent > budget) continue;
            bool needed = need, forbidden = none;
            if (slot.lowercase) {
                if (forbidden && choice.exponent != 0) continue;
                needed &= choice.exponent == 0;
            }
            needed |= choice.condition == Condition::lowercase_after;
            forbidden |= choice.condition == Condition::no_lowercase_after;
            if (needed && slot.last_lowercase) continue;
            walk_from(s + 1, word | choice.bits, budget - choice.exponent, needed, forbidden, visit);
        }
    }

    // The last slot's words, in order, for a state and what is left of the degree: listed
    // once, when first asked for.
    std::span<const std::uint64_t> last_words(State state, std::uint64_t budget) {
        auto& [begin, end] = last_words_at_[state * (last_most_ + 1) + std::min(budget, last_most_)];
        if (begin == no_list) {
            begin = last_words_.size();
            const Slot& last = slots_.back();
            for (std::size_t c = last.begin; c < last.end; ++c) {
                const Choice& choice = choices_[c];
                const bool allowed = !last.lowercase || (state == need_lowercase ? choice.exponent != 0
                                                         : state == no_lowercase  ? choice.exponent == 0
                                                                                  : true);
                // The last slot has no letter after it.
                if (choice.exponent <= budget && allowed && choice.condition == Condition::none) last_words_.push_back(choice.bits);
            }
            end = last_words_.size();
        }
        return std::span<const std::uint64_t>(last_words_).subspan(begin, end - begin);
    }

    static constexpr std::size_t no_list = std::numeric_limits<std::size_t>::max();

    std::vector<Choice> choices_;
    std::vector<Slot> slots_;
    std::size_t size_;
    std::uint64_t degree_;
    std::uint64_t largest_word_ = 0;
    std::uint64_t last_most_ = 0;
    std::vector<std::uint64_t> last_words_;                       // the lists one after another
    std::vector<std::pair<std::size_t, std::size_t>> last_words_at_;  // each list's bounds, by state and budget
};

// base^n with its terms in term order, where every term of the base is a number or a
// letter to the first power (the everyday (x + y + 1)^n): the powers of the letters are
// chosen letter by letter in the order of their keys, so that no sorting is needed.
// After a letter, the key goes on with "^{" for a power, and with the next letter for
// the power 1, which a lowercase letter puts before every power and a capital or the
// end after them ('^' lies between the cases; lowercase letters come first in a term).
// So the first power of a letter is chosen twice: once on condition that a lowercase
// letter follows, once on condition that none does. Nothing for other bases.
class PowerInTermOrder {
public:
    static constexpr int largest_power = 64;  // each choice scans the powers up to n

    static std::optional<Dense> of(const Dense& base, int n, const Letters& letters) {
        if (n > largest_power) return std::nullopt;
        std::vector<Letter> chosen;
        std::uint32_t constant = 0;
        for (std::size_t i = 0; i < base.size(); ++i) {
            const auto coeff = static_cast<std::uint32_t>(base.coeff(i));
            if (coeff == 0) continue;
            if (base.word(i) == 0) {
                constant = coeff;
                continue;
            }
            const auto slot = std::find_if(letters.slots.begin(), letters.slots.end(),
                                           [&](const Letters::Slot& s) { return base.word(i) == std::uint64_t{1} << s.shift; });
            if (slot == letters.slots.end()) return std::nullopt;  // not a letter on its own
            chosen.push_back({base.word(i), coeff, slot->lowercase(), false});
        }
        if (chosen.empty()) return std::nullopt;
        std::sort(chosen.begin(), chosen.end(), [](const Letter& a, const Letter& b) { return a.word < b.word; });  // slot order
        for (std::size_t i = chosen.size(); i-- > 1;)
            chosen[i - 1].lowercase_after = chosen[i].lowercase || chosen[i].lowercase_after;
        return PowerInTermOrder(static_cast<std::size_t>(n), std::move(chosen), constant).expand();
    }

private:
    struct Letter {
        std::uint64_t word;
        std::uint32_t coeff;
        bool lowercase, lowercase_after;
    };

    PowerInTermOrder(std::size_t n, std::vector<Letter> letters, std::uint32_t constant)
        : n_(n), terms_(multinomial_terms(letters.size() + (constant != 0), n, std::size_t{1} << 20)),
          powers_(powers_in_text_order(std::max<std::size_t>(n, 1))), binomial_(n, terms_),
          letters_(std::move(letters)), constant_(constant) {}

    Dense expand() {
        result_.reserve(terms_);
        // Letter i's coefficient to the power k at i * (n + 1) + k; the number's come last.
        std::vector<std::uint32_t> coeffs;
        for (const Letter& letter : letters_) coeffs.push_back(letter.coeff);
        coeffs.push_back(constant_);
        coefficient_powers_ = powers_of_coefficients(coeffs, n_);
        choose(0, n_, 0, 1, false, false);
        return std::move(result_);
    }

    // What letter i to the power e, with the number taking what is left after it, adds to a
    // term's coefficient.
    std::uint32_t share(std::size_t i, std::size_t rest, std::size_t e) const {
        return binomial_(rest, e) * coefficient_powers_[i * (n_ + 1) + e];
    }

    // Every choice for letters i on, `rest` being left: first the power 1 before a lowercase
    // letter, then the powers by their text, descending, then 1 before a capital or the end,
    // then 0; a lowercase letter must follow where `need_lowercase`, none may where
    // `no_lowercase`.
    void choose(std::size_t i, std::size_t rest, std::uint64_t word, std::uint32_t coeff,
                bool need_lowercase, bool no_lowercase) {
        Interruption::poll();
        const Letter& letter = letters_[i];
        if (need_lowercase && !letter.lowercase && !letter.lowercase_after) return;
        const bool last = i + 1 == letters_.size();
        const auto take = [&](std::size_t e, bool need, bool none) {
            const std::uint32_t c = coeff * share(i, rest, e);
            if (!last) return choose(i + 1, rest - e, word + e * letter.word, c, need, none);
            // The number takes what is left, all of it if there is none.
            if (need || (e < rest && constant_ == 0)) return;
            if (const std::uint32_t term = c * coefficient_powers_[letters_.size() * (n_ + 1) + rest - e])
                result_.append(word + e * letter.word, term);
        };
        if (!(no_lowercase && letter.lowercase)) {
            const bool still_needed = need_lowercase && !letter.lowercase;
            if (rest >= 2 && letter.lowercase_after && !no_lowercase) take(1, true, false);
            for (auto p = powers_.rbegin(); p != powers_.rend(); ++p)
                if (*p <= rest) take(static_cast<std::size_t>(*p), still_needed, no_lowercase);
            if (rest >= 1 && !still_needed) take(1, false, true);
        }
        take(0, need_lowercase, no_lowercase);
    }

    std::size_t n_;
    std::size_t terms_;                  // at most, up to a bound
    std::vector<std::uint64_t> powers_;  // 2 to n, ascending by text
    Binomials binomial_;
    std::vector<Letter> letters_;
    std::uint32_t constant_;
    std::vector<std::uint32_t> coefficient_powers_;
    Dense result_;
};

Dense power(const Dense& base, int n, const Letters& letters, std::vector<std::uint32_t>& scratch) {
    if (n <= largest_multinomial_power && terms_apart(base, letters)) return power_apart(base, n);
    Dense result;
    result.add(0, 1);
    Dense square = base;
    for (;;) {
        if (n & 1) result = result.times(square, scratch);
        n >>= 1;
        if (n == 0) return result;
        square = square.times(square, scratch);
    }
}

class PolynomialExpansion {
public:
    explicit PolynomialExpansion(Letters letters) : letters_(std::move(letters)) {}

    // The expanded tree, or nothing when a negated sum turns up: the negation of a sum
    // is kept whole as a factor, which is no longer a polynomial in the letters.
    std::optional<ExprPtr> expand(const ExprPtr& root);

private:
    std::uint64_t exponent(std::uint64_t word, std::size_t slot) const {
        return (word & letters_.slots[slot].mask) >> letters_.slots[slot].shift;
    }
    Dense evaluate(const Expr& n, const ExprPtr* handle, std::span<Dense> kids);
    Dense power_of(const Dense& base, int n, bool is_root);
    Dense product_of(const Dense& a, const Dense& b, bool is_root);
    std::pair<std::vector<std::uint64_t>, std::uint64_t> extent(const Dense& sum) const;
    bool comes_before(std::uint64_t a, std::uint64_t b) const;
    std::vector<std::size_t> term_order(const Dense& sum) const;
    char next_char(std::uint64_t word, std::size_t slot) const;
    void make_room_for_powers(std::uint64_t all_words);
    struct FactorSlot;
    const ExprPtr& power_of_letter(const FactorSlot& slot, std::uint64_t e);
    bool product_of_letters(std::uint64_t word, ExprPtr& product);
    void append_term(ExprPtr& sum, std::uint64_t word, int coeff);
    const ExprPtr*& cached_coefficient(int value);

    Letters letters_;
    const ExprPtr* root_ = nullptr;
    bool root_in_term_order_ = false;  // the expanded root's terms come in term order, none of them zero
    std::unordered_map<const Expr*, Dense> shared_;  // results of subtrees met more than once
    std::vector<std::uint32_t> scratch_;             // for Dense::times
    // letter^e, one node for all the terms it appears in: small exponents in one table,
    // each slot's in turn (see FactorSlot), the others by (slot, exponent).
    static constexpr std::uint64_t small_exponents = 1024;
    std::vector<ExprPtr> small_powers_;
    std::unordered_map<std::uint64_t, ExprPtr, KeyedHash> powers_;
    // What building a term reads of a slot, found by the slot's top bit in one step.
    struct FactorSlot {
        std::uint64_t mask;
        int shift;
        std::size_t slot;
        const ExprPtr* letter;
        std::size_t powers;        // where its small powers start
        std::uint64_t small = 0;   // how many of them there are room for
    };
    std::array<FactorSlot, 64> factor_slots_{};
    // Nodes that terms share are found where the result keeps them, inside its nodes or
    // the tables above: following them costs no reference counts, and nothing is left to
    // release when the expansion ends.
    // The coefficients met last, by a hash of their value: results repeat many of them.
    std::vector<std::pair<int, const ExprPtr*>> coefficients_;
    // The previous term's word, and its product after each of its factors, with the
    // top bit of the factor's slot.
    std::uint64_t previous_ = 0;
    std::vector<std::pair<std::uint64_t, const ExprPtr*>> leading_;
    ExprPtr first_term_;  // the first term, where it is a product of letters alone
    bool negated_sum_ = false;
};

Dense PolynomialExpansion::evaluate(const Expr& n, const ExprPtr* handle, std::span<Dense> kids) {
    if (negated_sum_) return {};  // the general path takes over: no need to finish
    if (const auto known = shared_.find(&n); known != shared_.end()) return known->second;
    Dense result;
    switch (n.type()) {
        case ExprType::INT: result.add(0, static_cast<std::uint32_t>(static_cast<const Int&>(n).value())); break;
        case ExprType::VAR: {
            const char name = static_cast<const Var&>(n).name()[0];
            const auto at = std::find_if(letters_.slots.begin(), letters_.slots.end(),
                                         [name](const Letters::Slot& slot) { return slot.name == name; });
            result.add(std::uint64_t{1} << at->shift, 1);
            break;
        }
        case ExprType::NEG:
            negated_sum_ |= kids[0].nonzero_terms() > 1;
            result = std::move(kids[0]);
            result.negate();
            break;
        case ExprType::ADD: {
            const bool left_larger = kids[0].size() >= kids[1].size();
            result = std::move(kids[left_larger ? 0 : 1]);
            result.add_all(kids[left_larger ? 1 : 0]);
            break;
        }
        case ExprType::MUL: result = product_of(kids[0], kids[1], handle == root_); break;
        default:
            if (kids.empty()) result.add(0, 1);  // a zero power
            else result = power_of(kids[0], int_value(static_cast<const Pow&>(n).exp()), handle == root_);
            break;
    }
    // The root is met once, however many hold it.
    if (handle && handle != root_ && handle->use_count() > 1 && n.children().count > 0) shared_.emplace(&n, result);
    return result;
}

// A power at the root, which is the result, is made in term order where it can be.
Dense PolynomialExpansion::power_of(const Dense& base, int n, bool is_root) {
    if (is_root)
        if (std::optional<Dense> ordered = PowerInTermOrder::of(base, n, letters_)) {
            root_in_term_order_ = true;
            return std::move(*ordered);
        }
    return power(base, n, letters_, scratch_);
}

// A product at the root, which is the result, is read back in term order where it can be.
Dense PolynomialExpansion::product_of(const Dense& a, const Dense& b, bool is_root) {
    const std::optional<std::uint64_t> top = is_root ? a.summed_up_to(b) : std::nullopt;
    if (top) {
        const auto [a_largest, a_degree] = extent(a);
        auto [largest, degree] = extent(b);
        for (std::size_t slot = 0; slot < largest.size(); ++slot) largest[slot] += a_largest[slot];
        // Walking many more words than the products fill would cost more than sorting.
        if (std::optional<WordsInTermOrder> order = WordsInTermOrder::of(letters_, largest, degree + a_degree, 2 * (*top + 1))) {
            root_in_term_order_ = true;
            return a.times_in_order(b, *top, scratch_, *order);
        }
    }
    return a.times(b, scratch_);
}

// The largest exponent of each letter in a sum, and its degree.
std::pair<std::vector<std::uint64_t>, std::uint64_t> PolynomialExpansion::extent(const Dense& sum) const {
    std::vector<std::uint64_t> largest(letters_.slots.size(), 0);
    std::uint64_t degree = 0;
    for (std::size_t i = 0; i < sum.size(); ++i) {
        std::uint64_t term_degree = 0;
        for (std::size_t slot = 0; slot < largest.size(); ++slot) {
            const std::uint64_t e = exponent(sum.word(i), slot);
            largest[slot] = std::max(largest[slot], e);
            term_degree += e;
        }
        degree = std::max(degree, term_degree);
    }
    return {std::move(largest), degree};
}

// Whether exponent a's text comes after b's: their leading digits decide and, where one
// is a prefix of the other, the shorter is greater, as the '}' that closes it follows
// every digit.
bool exponent_text_greater(std::uint64_t a, std::uint64_t b) {
    constexpr auto digits = [](std::uint64_t v) {
        int n = 1;
        while (v >= 10) v /= 10, ++n;
        return n;
    };
    const int da = digits(a), db = digits(b);
    std::uint64_t lead_a = a, lead_b = b;  // the leading digits the two have in number
    for (int i = da; i < db; ++i) lead_b /= 10;
    for (int i = db; i < da; ++i) lead_a /= 10;
    return lead_a != lead_b ? lead_a > lead_b : da < db;
}

// Whether the term of `a` comes before that of `b` (a != b): their keys in descending
// byte order, the constant last. A key is each letter of the term, followed by ^{e}
// for an exponent other than 1, in slot order, so the keys agree up to the first slot
// where the exponents differ and the order is decided there without writing them.
bool PolynomialExpansion::comes_before(std::uint64_t a, std::uint64_t b) const {
    if (a == 0 || b == 0) return b == 0;
    const std::size_t slot = letters_.slot_of_bit[static_cast<std::size_t>(std::countr_zero(a ^ b))];
    const std::uint64_t ea = exponent(a, slot), eb = exponent(b, slot);
    // Where one term lacks the letter it goes on with a smaller letter, or ends.
    if (ea == 0 || eb == 0) return eb == 0;
    // After the letter, "^{" meets the next letter of the term with exponent 1, or its end.
    if (ea == 1) return next_char(a, slot) > '^';
    if (eb == 1) return next_char(b, slot) < '^';
    return exponent_text_greater(ea, eb);  // both are powers: "^{" and their exponents
}

// Term order as numbers: every exponent of a term is replaced by its rank among what can
// stand at its slot in the order above, and the ranks, first slot highest, make one word
// per term, so that sorting words sorts terms. A letter with exponent 1 ranks above every
// power of it when a lowercase letter follows ('^' lies between the cases), else below;
// where no power of the letter is met, exponents 0 and 1 are their own ranks.
class TermKeys {
public:
    // Nothing when exponents are too large for rank tables or the ranks exceed `bits`.
    // `terms` is the number of keys that will be asked for.
    static std::optional<TermKeys> of(const Letters& letters, std::uint64_t all_words, int bits, std::size_t terms);
    int bits() const { return bits_; }

    // Lowercase letters come before capitals in a term, so the letter after one is
    // lowercase when any lowercase letter follows.
    std::uint64_t key(std::uint64_t word) const {
        if (reversed_) return reverse_bits(word) >> (64 - bits_);
        std::uint64_t key = 0;
        if (!groups_.empty()) {
            for (const Group& group : groups_)
                key |= keys_[group.keys + ((word & group.mask) >> group.shift << 1 | ((word & group.lowercase_after) != 0))];
            return key;
        }
        for (const Slot& slot : slots_) {
            key |= slot_key(slot, word);
        }
        return key;
    }

private:
    static constexpr std::uint64_t largest_ranked = 4096;

    static std::uint64_t reverse_bits(std::uint64_t x) {
        x = (x >> 1 & 0x5555555555555555) | (x & 0x5555555555555555) << 1;
        x = (x >> 2 & 0x3333333333333333) | (x & 0x3333333333333333) << 2;
        x = (x >> 4 & 0x0f0f0f0f0f0f0f0f) | (x & 0x0f0f0f0f0f0f0f0f) << 4;
        return __builtin_bswap64(x);
    }

    struct Slot {
        std::uint64_t mask;
        std::uint64_t lowercase_after;  // the bits of the lowercase letters after it
        int shift;
        int offset;          // of its rank in a key
        std::size_t ranks;   // where its ranks start in ranks_: by exponent, then for 1 before a lowercase letter
        std::uint64_t last;  // the index of that last rank
    };
    // Neighbouring slots whose keys are looked up together, by their bits and by whether
    // a lowercase letter follows them, where many keys are asked for.
    struct Group {
        std::uint64_t mask;
        std::uint64_t lowercase_after;
        int shift;
        std::size_t keys;  // where its table starts in keys_
    };
    static constexpr int most_group_bits = 12;

    std::uint64_t slot_key(const Slot& slot, std::uint64_t word) const {
        const std::uint64_t e = (word & slot.mask) >> slot.shift;
        const bool before_lowercase = e == 1 && (word & slot.lowercase_after) != 0;
        return std::uint64_t{ranks_[slot.ranks + (before_lowercase ? slot.last : e)]} << slot.offset;
    }
    void tabulate(std::size_t terms);

    std::vector<Slot> slots_;
    std::vector<std::uint32_t> ranks_;
    std::vector<Group> groups_;
    std::vector<std::uint64_t> keys_;
    int bits_ = 0;
    // Every slot is one bit wide and no exponent exceeds 1: a key is then the word's bits
    // in reverse order (the first slot lies lowest in a word, highest in a key).
    bool reversed_ = false;
};

std::optional<TermKeys> TermKeys::of(const Letters& letters, std::uint64_t all_words, int bits, std::size_t terms) {
    TermKeys keys;
    std::uint64_t lowercase_after = 0;
    for (auto letter = letters.slots.rbegin(); letter != letters.slots.rend(); ++letter) {
        // The bits of all words bound every exponent met at the slot.
        const std::uint64_t largest = (all_words & letter->mask) >> letter->shift;
        if (largest > largest_ranked) return std::nullopt;
        const std::size_t start = keys.ranks_.size();
        keys.ranks_.resize(start + std::max<std::uint64_t>(largest, 1) + 2);
        const std::span<std::uint32_t> rank(keys.ranks_.begin() + static_cast<std::ptrdiff_t>(start), keys.ranks_.end());
        rank[1] = rank.back() = 1;  // without powers, 1 is 1 whatever follows
        if (largest >= 2) {
            const std::vector<std::uint64_t> powers = powers_in_text_order(largest);
            for (std::size_t i = 0; i < powers.size(); ++i) rank[powers[i]] = static_cast<std::uint32_t>(2 + i);
            rank.back() = static_cast<std::uint32_t>(2 + powers.size());
        }
        keys.slots_.push_back({letter->mask, lowercase_after, letter->shift, keys.bits_, start, rank.size() - 1});
        keys.bits_ += static_cast<int>(std::bit_width(rank.back()));
        if (keys.bits_ > bits) return std::nullopt;
        if (letter->lowercase()) lowercase_after |= letter->mask;
    }
    keys.reversed_ = keys.bits_ == static_cast<int>(letters.slots.size()) &&
                     static_cast<int>(std::bit_width(letters.slots.back().mask)) == keys.bits_;
    if (!keys.reversed_) keys.tabulate(terms);
    return keys;
}

// Groups neighbouring slots (slots_ runs from the highest bits down) into tables of at
// most a quarter as many entries as there are keys to find, where that joins slots.
void TermKeys::tabulate(std::size_t terms) {
    const int budget = std::min(most_group_bits, static_cast<int>(std::bit_width(terms)) - 3);
    std::vector<Group> groups;
    for (std::size_t first = 0; first < slots_.size();) {
        std::size_t last = first;  // the group's slots run from first to last, its lowest
        const int top = static_cast<int>(std::bit_width(slots_[first].mask));
        while (last + 1 < slots_.size() && top - slots_[last + 1].shift <= budget) ++last;
        const int shift = slots_[last].shift;
        const std::uint64_t mask = (std::uint64_t{1} << top) - (std::uint64_t{1} << shift);
        if (std::popcount(mask) > budget) return;  // a slot too wide for a table
        groups.push_back({mask, slots_[first].lowercase_after, shift, keys_.size()});
        // The group's bits, then whether a lowercase letter follows it: a word with one
        // such letter stands for all.
        const std::uint64_t follower = slots_[first].lowercase_after & -slots_[first].lowercase_after;
        for (std::uint64_t bits = 0; bits <= mask >> shift; ++bits)
            for (const std::uint64_t after : {std::uint64_t{0}, follower}) {
                const std::uint64_t word = bits << shift | after;
                std::uint64_t key = 0;
                for (std::size_t slot = first; slot <= last; ++slot) key |= slot_key(slots_[slot], word);
                keys_.push_back(key);
            }
        first = last + 1;
    }
    if (groups.size() < slots_.size()) groups_ = std::move(groups);
    else keys_.clear();
}

// Sorts distinct words ascending, where they differ only in bits `low` to `high`: a digit
// at a time, least significant first (which keeps the order of equal digits); a few words
// by comparison.
void sort_bits(std::vector<std::uint64_t>& words, int low, int high) {
    if (words.size() < 256) return std::sort(words.begin(), words.end());
    // As few passes as digits of at most 11 bits allow, the bits spread evenly over them.
    const int passes = (high - low + 10) / 11, digit = (high - low + passes - 1) / passes;
    const std::size_t buckets = std::size_t{1} << digit;
    const std::uint64_t digit_mask = buckets - 1;
    // The counts of every pass, taken in one reading of the words.
    std::vector<std::uint32_t> start(static_cast<std::size_t>(passes) * buckets, 0);
    for (std::uint64_t w : words)
        for (int pass = 0; pass < passes; ++pass)
            ++start[static_cast<std::size_t>(pass) * buckets + (w >> (low + pass * digit) & digit_mask)];
    std::vector<std::uint64_t> other(words.size());
    for (int pass = 0; pass < passes; ++pass) {
        const std::span<std::uint32_t> at(start.begin() + static_cast<std::ptrdiff_t>(static_cast<std::size_t>(pass) * buckets), buckets);
        std::exclusive_scan(at.begin(), at.end(), at.begin(), std::uint32_t{0});
        const int shift = low + pass * digit;
        for (std::uint64_t w : words) other[at[w >> shift & digit_mask]++] = w;
        words.swap(other);
        Interruption::poll(words.size());
    }
}

// The byte that follows a term's letter in `slot` when it has exponent 1: the next
// letter of the term, or 0 at the end of its key.
char PolynomialExpansion::next_char(std::uint64_t word, std::size_t slot) const {
    const std::uint64_t rest = word & letters_.slots[slot].later;
    if (rest == 0) return 0;
    return letters_.slots[letters_.slot_of_bit[static_cast<std::size_t>(std::countr_zero(rest))]].name;
}

// One node per small integer, made once for the process and never released: results
// repeat small exponents and coefficients, which then cost nothing to make or free.
// Null outside the range.
constexpr int least_small_int = -64, most_small_int = 1023;
using SmallInts = std::array<ExprPtr, most_small_int - least_small_int + 1>;
const SmallInts* const small_ints = [] {
    auto* made = new SmallInts;
    for (int v = least_small_int; v <= most_small_int; ++v) (*made)[static_cast<std::size_t>(v - least_small_int)] = make_int(v);
    return made;
}();

const ExprPtr* small_int(int value) {
    if (value < least_small_int || value > most_small_int) return nullptr;
    return &(*small_ints)[static_cast<std::size_t>(value - least_small_int)];
}

// A coefficient or exponent: shared when small, else a node of its own (a large
// coefficient is mostly unique: cheaper to make than to look up).
ExprPtr number(int value) {
    if (const ExprPtr* shared = small_int(value)) return *shared;
    return make_int(value);
}

// Sizes the tables of small powers once, from the largest exponent of each letter
// (every exponent's bits are among those of all words together).
void PolynomialExpansion::make_room_for_powers(std::uint64_t all_words) {
    for (std::size_t slot = 0; slot < letters_.slots.size(); ++slot) {
        const Letters::Slot& letter = letters_.slots[slot];
        const std::uint64_t largest = exponent(all_words, slot);
        const std::uint64_t small = largest > 1 ? std::min(largest + 1, small_exponents) : 0;
        factor_slots_[static_cast<std::size_t>(std::bit_width(letter.mask) - 1)] = {letter.mask, letter.shift, slot, &letter.node, small_powers_.size(), small};
        small_powers_.resize(small_powers_.size() + small);
    }
}

const ExprPtr& PolynomialExpansion::power_of_letter(const FactorSlot& slot, std::uint64_t e) {
    if (e == 1) return *slot.letter;
    ExprPtr& power = e < slot.small ? small_powers_[slot.powers + e] : powers_[slot.slot << 32 | e];
    if (!power) power = make<Pow>(*slot.letter, number(static_cast<int>(e)));
    return power;
}

// Terms come in order, and a product is a left-nested chain: the leading factors that
// a term has in common with the one before it make the same subtree, which is shared.
// Both terms have the same factors in the slots below the lowest bit where their words
// differ, and only the factors from there on are new. Returns whether the product is a
// new node, which the caller places.
bool PolynomialExpansion::product_of_letters(std::uint64_t word, ExprPtr& product) {
    std::uint64_t factors = letters_.factors_of(word);
    if (word != previous_) {
        const std::uint64_t same = (std::uint64_t{1} << std::countr_zero(word ^ previous_)) - 1;
        while (!leading_.empty() && leading_.back().first > same) leading_.pop_back();
        factors &= ~same;
        previous_ = word;
    }
    if (!leading_.empty()) product = *leading_.back().second;
    bool is_new = false;
    for (; factors != 0; factors &= factors - 1) {
        const int top = std::countr_zero(factors);
        const FactorSlot& slot = factor_slots_[static_cast<std::size_t>(top)];
        const ExprPtr& power = power_of_letter(slot, (word & slot.mask) >> slot.shift);
        if (product) {
            product = make<Mul>(std::move(product), power);
            leading_.back().second = &as<Mul>(product).left();
            is_new = true;
        } else {
            product = power;
        }
        leading_.emplace_back(std::uint64_t{1} << top, &power);
    }
    return is_new;
}

// Appends the term coeff * (the letters of `word`) to `sum`, and records where the result
// keeps its product and its coefficient for the terms that follow.
[[gnu::flatten]] void PolynomialExpansion::append_term(ExprPtr& sum, std::uint64_t word, int coeff) {
    ExprPtr product, term;
    const bool is_new = product_of_letters(word, product);
    const ExprPtr* kept = nullptr;  // the new product's place
    if (!product) {
        term = number(coeff);
    } else if (coeff == 1) {
        term = std::move(product);
    } else if (coeff == -1) {
        term = make<Neg>(std::move(product));
        kept = &as<Neg>(term).operand();
    } else {
        const ExprPtr** cached = small_int(coeff) ? nullptr : &cached_coefficient(coeff);
        ExprPtr node = cached && *cached ? ExprPtr(**cached) : number(coeff);  // not const: moved on
        term = make<Mul>(std::move(node), std::move(product));
        kept = &as<Mul>(term).right();
        if (cached) *cached = &as<Mul>(term).left();
    }
    if (sum) {
        sum = make<Add>(std::move(sum), std::move(term));
        if (!kept) kept = &as<Add>(sum).right();
    } else {
        sum = std::move(term);
        if (!kept) kept = &(first_term_ = sum);  // moved on into the next sum: held here
    }
    if (is_new) leading_.back().second = kept;
}

// Where an earlier term keeps a coefficient's node, or null: a cache by a hash of the
// value, each entry evicted by the next value that lands on it, which keeps it small and
// every lookup a single probe.
const ExprPtr*& PolynomialExpansion::cached_coefficient(int value) {
    const int bits = std::countr_zero(coefficients_.size());
    auto& [cached, kept] = coefficients_[static_cast<std::uint32_t>(value) * 0x9e3779b1u >> (32 - bits)];
    if (cached != value) {
        cached = value;
        kept = nullptr;
    }
    return kept;
}

bool has_letters(const Dense& sum) {
    for (std::size_t i = 0; i < sum.size(); ++i)
        if (sum.word(i) != 0 && sum.coeff(i) != 0) return true;
    return false;
}

std::optional<ExprPtr> PolynomialExpansion::expand(const ExprPtr& root) {
    auto visit = [this](const Expr& n) -> Children {
        return shared_.contains(&n) ? Children{} : polynomial_children(n);
    };
    root_ = &root;
    const Dense sum = fold<Dense>(*root, &root, visit, [this](const Expr& n, const ExprPtr* h, std::span<Dense> kids) {
        return evaluate(n, h, kids);
    });
    if (negated_sum_ || !has_letters(sum)) return std::nullopt;
    make_room_for_powers(sum.bits_used());
    coefficients_.resize(std::bit_ceil(std::clamp<std::size_t>(sum.size() / 2, 16, 1 << 12)));
    ExprPtr result;
    const auto append = [&](std::size_t i) {
        Interruption::poll();
        append_term(result, sum.word(i), sum.coeff(i));
    };
    if (root_in_term_order_)  // and without zero terms
        for (std::size_t i = 0; i < sum.size(); ++i) append(i);
    else
        for (const std::size_t i : term_order(sum)) append(i);
    return result ? result : make_int(0);
}

// The indices of the non-zero terms of `sum`, in term order.
std::vector<std::size_t> PolynomialExpansion::term_order(const Dense& sum) const {
    std::vector<std::size_t> order;
    order.reserve(sum.size());
    std::uint64_t all_words = 0;
    for (std::size_t i = 0; i < sum.size(); ++i)
        if (sum.coeff(i) != 0) {
            order.push_back(i);
            all_words |= sum.word(i);
        }
    const int index_bits = static_cast<int>(std::bit_width(sum.size()));
    if (const std::optional<TermKeys> keys = TermKeys::of(letters_, all_words, 64 - index_bits, order.size())) {
        // Keys are distinct: where they fill much of their range, every term is placed at
        // its key and read back in one sweep.
        if (keys->bits() < 32 && std::size_t{1} << keys->bits() <= 4 * order.size()) {
            std::vector<std::size_t> at_key(std::size_t{1} << keys->bits(), 0);  // 1 + index
            for (const std::size_t i : order) at_key[keys->key(sum.word(i))] = i + 1;
            Interruption::poll(at_key.size());
            auto next = order.begin();
            for (auto at = at_key.rbegin(); at != at_key.rend(); ++at)
                if (*at != 0) *next++ = *at - 1;
            return order;
        }
        std::vector<std::uint64_t> packed;  // key, then index
        packed.reserve(order.size());
        for (const std::size_t i : order) packed.push_back(keys->key(sum.word(i)) << index_bits | i);
        sort_bits(packed, index_bits, index_bits + keys->bits());
        const std::uint64_t index_mask = (std::uint64_t{1} << index_bits) - 1;
        for (std::size_t k = 0; k < order.size(); ++k) order[k] = packed[order.size() - 1 - k] & index_mask;
        return order;
    }
    // Comparing two words takes nanoseconds, less than polling would; building the terms'
    // tree, which polls, takes longer than the sort.
    Interruption::poll(order.size());
    std::sort(order.begin(), order.end(),
              [&](std::size_t a, std::size_t b) { return comes_before(sum.word(a), sum.word(b)); });
    return order;
}

// The fast expansion where it applies. It reads the tree before simplification: on
// these kinds the rules of simplify only fold integers and identities, which does not
// change the polynomial, and cannot fail (the bases of zero powers are checked apart).
// A leaf, or a result without letters, is left to the general path, which may hand back
// a node of the argument itself.
std::optional<ExprPtr> expand_polynomial(const ExprPtr& tree) {
    switch (tree->type()) {
        case ExprType::ADD:
        case ExprType::MUL:
        case ExprType::NEG:
        case ExprType::POW: break;
        default: return std::nullopt;
    }
    std::optional<Letters> letters = LetterScan().scan(tree);
    if (!letters) return std::nullopt;
    return PolynomialExpansion(std::move(*letters)).expand(tree);
}

}  // namespace

ExprPtr simplify(ExprPtr expr) {
    if (!expr) return expr;
    return fold<ExprPtr>(*expr, &expr, all_children, apply_rules);
}

// The tree is simplified once: simplifying an already simplified subtree again, as
// each level of expansion would, changes nothing.
ExprPtr expand(ExprPtr expr) {
    if (!expr) return expr;
    if (std::optional<ExprPtr> result = expand_polynomial(expr)) return *result;
    const ExprPtr simplified = simplify(std::move(expr));
    Expansion expansion;
    Value result = fold<Value>(*simplified, &simplified, expanded_children,
                               [&](const Expr& node, const ExprPtr* handle, std::span<Value> kids) {
                                   return expansion.expand_node(node, handle, kids);
                               });
    return expansion.tree_of(result);
}

}  // namespace kalvora
