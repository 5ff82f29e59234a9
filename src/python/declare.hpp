#pragma once
// Python-visible callables declared once, as types (api.hpp): name,
// parameters in order, doc, and the operation behind each. From them come,
// at compile time, the binder's parameter names, every doc string with its
// text signature and the stub catalogue's records (here, without Python: the
// stub generator has none), and each class's tables (class_table.hpp). A
// parameter's C++ type picks its conversion (convert.hpp) and its type text
// (PyTypeInfo); a record stands for the class that holds it. A default is
// written only as the text signature shows it: an absent argument leaves the
// record's own default, so each default value lives once, in the core.

#include <algorithm>
#include <array>
#include <cstddef>
#include <expected>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>

#include "python/stub_catalogue.hpp"

namespace torvane::py::decl {

// A string literal as a template argument.
template <std::size_t N>
struct Str {
    char chars[N]{};
    constexpr Str(const char (&s)[N]) { std::copy_n(s, N, chars); }
};

// ---- texts built at compile time ------------------------------------------------

// Write(out) streams the pieces of a text: once to measure it, once to fill
// it, with a terminating NUL.
struct TextSink {
    std::size_t size = 1;
    char* at = nullptr;
    constexpr TextSink& operator<<(std::string_view s) {
        size += s.size();
        if (at) at = std::copy(s.begin(), s.end(), at);
        return *this;
    }
};

template <auto Write>
constexpr auto make_text() {
    constexpr std::size_t size = [] {
        TextSink sink;
        Write(sink);
        return sink.size;
    }();
    std::array<char, size> text{};
    TextSink sink{size, text.data()};
    Write(sink);
    return text;
}

template <auto Write>
inline constexpr auto static_text = make_text<Write>();
template <auto Write>
inline constexpr const char* c_text = static_text<Write>.data();

// ---- parameters ----------------------------------------------------------------

template <Str Name, typename T, Str Default = "">
struct Arg {
    using type = T;
    static constexpr const char* name = Name.chars;
    static constexpr bool required = sizeof(Default.chars) == 1;
    static constexpr const char* default_text = Default.chars;
};

// A parameter given only by keyword; such parameters come last.
template <typename A>
struct KwOnly : A {
    static constexpr bool keyword_only = true;
};

template <typename R, typename T>
R record_of(T R::*);
template <typename R, typename T>
T value_of(T R::*);
template <typename R, typename T, typename Result>
R record_of(Result (*)(R&, T));
template <typename R, typename T, typename Result>
std::remove_cvref_t<T> value_of(Result (*)(R&, T));

// A constructor parameter stored into the record: Store is the field, or a
// function Store(record, value) that may fail with an error value. A field
// is also a read-only property (Fields).
template <Str Name, auto Store, Str Default = "">
struct Field : Arg<Name, decltype(value_of(Store)), Default> {
    using record = decltype(record_of(Store));
    static constexpr auto store = Store;
};

template <typename... P>
struct Params {
    static constexpr std::size_t count = sizeof...(P);
    static constexpr std::array<const char*, count> names{P::name...};
    // Where the binder puts parameter N: code reads its arguments by name,
    // so a change in the declared order cannot make it read another one.
    // An unknown name does not compile.
    template <Str N>
    static constexpr std::size_t at = [] {
        for (std::size_t i = 0; i < count; ++i)
            if (std::string_view(names[i]) == std::string_view(N.chars)) return i;
        throw "no parameter of that name";
    }();
    static constexpr std::size_t required = (std::size_t{P::required} + ... + 0);
    static_assert(std::ranges::is_sorted(std::array<bool, count>{!P::required...}),
                  "a required parameter after a default");
    // Those that may be given by position.
    static constexpr std::size_t positional = (std::size_t{!requires { P::keyword_only; }} + ... + 0);
    static_assert(std::ranges::is_sorted(std::array<bool, count>{requires { P::keyword_only; }...}),
                  "a positional parameter after a keyword-only one");
    // A "*" entry, without a type, stands before the keyword-only ones.
    static constexpr auto entries = [] {
        constexpr std::array<ParamEntry, count> all{{{P::name, type_input<typename P::type>}...}};
        if constexpr (positional == count) {
            return all;
        } else {
            std::array<ParamEntry, count + 1> out{};
            std::ranges::copy(all, out.begin());
            std::ranges::copy_backward(out.begin() + positional, out.end() - 1, out.end());
            out[positional] = {"*", nullptr};
            return out;
        }
    }();

    // "name(a, b=1)\n--\n\n" and the body: the interpreter reports the part
    // in parentheses as __text_signature__ and the body as __doc__.
    static constexpr void write_doc(TextSink& out, const char* name, const char* self, const char* body) {
        [[maybe_unused]] const char* comma = self ? ", " : "";
        [[maybe_unused]] std::size_t at = 0;
        out << name << "(" << (self ? self : "");
        ((out << std::exchange(comma, ", ") << (at++ == positional ? "*, " : "") << P::name
              << (P::required ? "" : "=") << (P::required ? "" : P::default_text)),
         ...);
        out << ")\n--\n\n" << body;
    }

    // The catalogue's "a,b = ...", for a list with defaults or a "*".
    static constexpr const char* stub_signature =
        required == count && positional == count ? nullptr : c_text<[](TextSink& out) {
            [[maybe_unused]] const char* comma = "";
            [[maybe_unused]] std::size_t at = 0;
            ((out << std::exchange(comma, ",") << (at++ == positional ? "*," : "") << P::name
                  << (P::required ? "" : " = ...")),
             ...);
        }>;
};

// ---- members of a class ------------------------------------------------------------

// What a member adds to its block's catalogue record; each kind sets its own.
struct Member {
    static constexpr std::array<GetterEntry, 0> getters{};
    static constexpr std::array<MethodEntry, 0> methods{};
    static constexpr bool constructs = false;
    static constexpr const ConstructorEntry* constructor = nullptr;
};

// Fields as read-only properties.
template <typename... F>
struct Fields : Member {
    static constexpr std::array<GetterEntry, sizeof...(F)> getters{{{F::name, type_output<typename F::type>}...}};
};

// The new instance holds the record's default; each given argument is stored
// into it, in order.
template <typename... P>
struct Constructor : Member {
    using params = Params<P...>;
    using record = typename std::tuple_element_t<0, std::tuple<P...>>::record;
    static constexpr const char* display = c_text<[](TextSink& out) { out << class_name<record> << ".__new__()"; }>;
    // The class's doc: its name and the text signature, no body.
    static constexpr const char* doc =
        c_text<[](TextSink& out) { params::write_doc(out, class_name<record>, nullptr, ""); }>;
    static constexpr ConstructorEntry entry{params::entries, params::stub_signature};
    static constexpr bool constructs = true;
    static constexpr const ConstructorEntry* constructor = &entry;
};
template <typename... F>
struct Constructor<Fields<F...>> : Constructor<F...> {};

// A module function that returns a new instance, filled as by Constructor.
template <Str Name, Str Doc, typename Fields>
struct Function : Constructor<Fields> {
    using params = typename Function::params;
    static constexpr const char* name = Name.chars;
    static constexpr const char* display = c_text<[](TextSink& out) { out << Name.chars << "()"; }>;
    static constexpr const char* doc =
        c_text<[](TextSink& out) { params::write_doc(out, Name.chars, nullptr, Doc.chars); }>;
    static constexpr PyFunctionInfo info{Name.chars, params::entries, type_output<typename Function::record>,
                                         Doc.chars,  params::stub_signature, nullptr};
};

template <typename R, typename... E>
R unwrapped(std::expected<R, E...>);
template <typename R, typename C, typename... A>
C receiver_of(R (C::*)(A...) const);
template <typename R, typename C, typename... A>
C receiver_of(R (*)(const C&, A...));
template <typename R, typename C, typename... A>
decltype(unwrapped(std::declval<R>())) result_of(R (C::*)(A...) const);
template <typename R, typename C, typename... A>
decltype(unwrapped(std::declval<R>())) result_of(R (*)(const C&, A...));

// Op runs on the receiver's record with the bus (the first parameter)
// locked and the other arguments converted; it returns a value or an error.
template <Str Name, auto Op, Str Doc, typename... A>
struct Method : Member {
    using params = Params<A...>;
    using record = decltype(receiver_of(Op));
    static constexpr auto op = Op;
    static constexpr const char* name = Name.chars;
    static constexpr const char* display =
        c_text<[](TextSink& out) { out << class_name<record> << "." << Name.chars << "()"; }>;
    static constexpr const char* doc =
        c_text<[](TextSink& out) { params::write_doc(out, Name.chars, "$self", Doc.chars); }>;
    static constexpr std::array<MethodEntry, 1> methods{
        {{nullptr, Name.chars, params::entries, Doc.chars, type_output<decltype(result_of(Op))>, false, false}}};
};

// The class's own doc string, for a class without a constructor that says it.
template <Str Text>
struct ClassDoc : Member {
    static constexpr const char* class_doc = Text.chars;
};

// __repr__, from api::repr_text(record).
struct Repr : Member {
    static constexpr std::array<MethodEntry, 1> methods{
        {{nullptr, "__repr__", {}, "", type_output<std::string>, false, false}}};
};

// A static method per entry of a table of {name, limits}, each returning a
// new instance that holds the entry's value.
template <const auto& Table>
struct Presets : Member {
    static constexpr const auto& table = Table;
    static constexpr auto methods = [] {
        using Value = std::remove_cvref_t<decltype(Table[0].limits)>;
        std::array<MethodEntry, Table.size()> out{};
        for (std::size_t i = 0; i < Table.size(); ++i)
            out[i] = {nullptr, Table[i].name, {}, "", type_output<Value>, true, false};
        return out;
    }();
};

template <typename E, std::size_t... N>
constexpr auto concat(const std::array<E, N>&... parts) {
    std::array<E, (N + ... + 0)> out{};
    auto at = out.begin();
    ((at = std::ranges::copy(parts, at).out), ...);
    return out;
}

// Part of the class that holds Record: its catalogue record, and the members
// its class table is built from.
template <typename Record, typename... M>
struct Block {
    using record = Record;
    static constexpr auto getters = concat(M::getters...);
    static constexpr auto methods = concat(M::methods...);
    static_assert((int{M::constructs} + ... + 0) <= 1, "two constructors");
    // Chosen by flag: a sanitizing build cannot compare addresses at compile time.
    static constexpr const ConstructorEntry* constructor = [] {
        const ConstructorEntry* found = nullptr;
        ((found = M::constructs ? M::constructor : found), ...);
        return found;
    }();
};

}  // namespace torvane::py::decl
