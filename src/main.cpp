// The Python extension module `_kalvora_core`: the node classes, `simplify` and `expand`.
#include <cxxabi.h>
#include <pybind11/pybind11.h>

#include <string>

#include "ast.hpp"
#include "simplifier.hpp"

namespace py = pybind11;
using namespace kalvora;

namespace {

// Methods take `self` by its holder: an object made by Cls.__new__ without calling the
// constructor has no node, and pybind11 then refuses it instead of passing a dangling one.
template <class Node, class Result>
auto method(Result (Node::*read)() const) {
    return [read](const std::shared_ptr<Node>& self) -> Result { return ((*self).*read)(); };
}

// Runs Python's signal handlers from within long native loops. An exception they raise
// (KeyboardInterrupt on Ctrl-C) abandons the call and reaches the caller as it is. The
// interpreter lock stays held. Releasing a tree never polls: a signal arriving meanwhile
// stays pending, and the interpreter raises it once the release returns.
void check_signals() {
    if (PyErr_CheckSignals() != 0) throw py::error_already_set();
}

// The C++ runtime allocates a thread's exception state on the thread's first throw. When
// that throw is std::bad_alloc, the allocation fails as well and the process aborts, so
// every call makes sure its thread has the state before it can run out of memory.
struct ExceptionStateReady {
    // The result is stored: the runtime declares the call free of side effects.
    ExceptionStateReady() { [[maybe_unused]] volatile auto state = abi::__cxa_get_globals(); }
};
constexpr py::call_guard<ExceptionStateReady> entry{};

// pybind11 reports an argument object without a node as a failed cast; for the caller
// that is a wrong argument like any other.
void translate_cast_errors(std::exception_ptr error) {
    try {
        if (error) std::rethrow_exception(error);
    } catch (const py::cast_error& e) {
        PyErr_SetString(PyExc_TypeError, e.what());
    }
}

template <class Node>
py::class_<Node, Expr, std::shared_ptr<Node>> bind_node(py::module_& m, const char* name) {
    return {m, name};
}

// A child parameter: any node, never None, so that no node holds an empty child.
py::arg child(const char* name) { return py::arg(name).none(false); }

template <class Node>
void bind_unary(py::module_& m, const char* name) {
    bind_node<Node>(m, name)
        .def(py::init<ExprPtr>(), child("operand"), entry)
        .def("operand", method(&Node::operand), entry);
}

template <class Node, class Accessor>
void bind_binary(py::module_& m, const char* name, const char* first, Accessor first_accessor,
                 const char* second, Accessor second_accessor) {
    bind_node<Node>(m, name)
        .def(py::init<ExprPtr, ExprPtr>(), child(first), child(second), entry)
        .def(first, method(first_accessor), entry)
        .def(second, method(second_accessor), entry);
}

}  // namespace

PYBIND11_MODULE(_kalvora_core, m) {
    m.doc() = "KalVora: 高校数Ⅲレベルの数式処理ライブラリ (C++ core)";
    py::register_local_exception_translator(translate_cast_errors);
    Interruption::set_hook(check_signals);

    py::class_<Expr, std::shared_ptr<Expr>>(m, "Expr")
        .def("to_string", method(&Expr::to_string), "LaTeX形式の文字列を返す", entry);

    bind_node<Int>(m, "Int").def(py::init<int>(), py::arg("value"), entry).def("value", method(&Int::value), entry);
    bind_node<Var>(m, "Var")
        .def(py::init<const std::string&>(), py::arg("name"), entry)
        .def("name", method(&Var::name), entry);
    bind_node<Rational>(m, "Rational")
        .def(py::init<int, int>(), py::arg("num"), py::arg("den"), entry)
        .def("num", method(&Rational::num), entry)
        .def("den", method(&Rational::den), entry);
    bind_unary<Neg>(m, "Neg");
    bind_binary<Add>(m, "Add", "left", &Add::left, "right", &Add::right);
    bind_binary<Mul>(m, "Mul", "left", &Mul::left, "right", &Mul::right);
    bind_binary<Div>(m, "Div", "num", &Div::num, "den", &Div::den);
    bind_binary<Pow>(m, "Pow", "base", &Pow::base, "exp", &Pow::exp);
    bind_unary<Sqrt>(m, "Sqrt");
    bind_node<Pi>(m, "Pi").def(py::init<>(), entry);
    bind_node<E>(m, "E").def(py::init<>(), entry);
    bind_unary<Cbrt>(m, "Cbrt");
    bind_unary<Sin>(m, "Sin");
    bind_unary<Cos>(m, "Cos");
    bind_unary<Tan>(m, "Tan");
    bind_unary<Log>(m, "Log");

    m.def("simplify", &simplify, py::arg("expr"), "数式を簡略化する", entry);
    m.def("expand", &expand, py::arg("expr"), "数式を展開して同類項をまとめる", entry);
}
