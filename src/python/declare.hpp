#pragma once
// Python-visible callables declared once, as types (api.hpp).
//
// A declaration holds what Python sees (name, parameters in order, doc) and
// names the operation behind it. From it come, at compile time, the binder's
// parameter names, the doc string with its text signature and the records of
// the stub catalogue (here, without Python: the stub generator has none),
// and the method and property tables and constructor of each class
// (class_table.hpp). A parameter's C++ type picks its conversion
// (convert.hpp) and its type text (PyTypeInfo); a record stands for the class
// that holds it. Defaults are written only as the text signature shows them:
// an absent argument reaches the operation as an empty std::optional, or
// leaves a field at the record's own default, so each value lives in the core.

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

template <std::size_t N>
struct Text {
    char chars[N + 1]{};
    constexpr const char* c_str() const { return chars; }
};

// Write(out) streams the pieces of a text: once to measure it, once to fill it.
template <auto Write>
constexpr auto make_text() {
    struct Size {
        std::size_t n = 0;
        constexpr Size& operator<<(std::string_view s) { return n += s.size(), *this; }
    };
    struct Fill {
        char* at;
        constexpr Fill& operator<<(std::string_view s) { return at = std::copy(s.begin(), s.end(), at), *this; }
    };
    constexpr std::size_t n = [] {
        Size size;
        Write(size);
        return size.n;
    }();
    Text<n> text;
    Fill fill{text.chars};
    Write(fill);
    return text;
}

template <auto Write>
inline constexpr auto static_text = make_text<Write>();

template <typename E, std::size_t... N>
constexpr auto concat(const std::array<E, N>&... parts) {
    std::array<E, (N + ... + 0)> out{};
    auto at = out.begin();
    ((at = std::ranges::copy(parts, at).out), ...);
    return out;
}

// ---- parameters ----------------------------------------------------------------

template <Str Name, typename T, Str Default = "">
struct Arg {
    using type = T;
    static constexpr const char* name = Name.chars;
    static constexpr bool required = sizeof(Default.chars) == 1;
    static constexpr const char* default_text = Default.chars;
};

template <typename>
struct MemberPointer;
template <typename R, typename T>
struct MemberPointer<T R::*> {
    using record = R;
    using type = T;
};

template <auto Member, Str Name, Str Default = "">
struct Field : Arg<Name, typename MemberPointer<decltype(Member)>::type, Default> {
    using record = typename MemberPointer<decltype(Member)>::record;
    static constexpr auto member = Member;
};

template <typename... P>
struct Params {
    static constexpr std::size_t count = sizeof...(P);
    static constexpr std::array<const char*, count> names{P::name...};
    static constexpr std::array<ParamEntry, count> entries{{{P::name, type_input<typename P::type>}...}};
    // Parameters without a default; they must all come first.
    static constexpr std::size_t required = [] {
        constexpr bool flags[] = {P::required..., false};
        std::size_t n = 0;
        while (flags[n]) ++n;
        if (std::find(flags + n, flags + count, true) != flags + count) throw "a required parameter after a default";
        return n;
    }();

    // "name(a, b=1)\n--\n\n" and the body: the interpreter reports the part
    // in parentheses as __text_signature__ and the body as __doc__.
    template <typename Out>
    static constexpr void write_doc(Out& out, const char* name, const char* self, const char* body) {
        [[maybe_unused]] const char* comma = self ? ", " : "";
        out << name << "(" << (self ? self : "");
        ((out << std::exchange(comma, ", ") << P::name << (P::required ? "" : "=")
              << (P::required ? "" : P::default_text)),
         ...);
        out << ")\n--\n\n" << body;
    }

    // The catalogue's "a,b = ...", for a list with defaults only.
    static constexpr const char* stub_signature = [] {
        if (required == count) return static_cast<const char*>(nullptr);
        return static_text<[](auto& out) {
            [[maybe_unused]] const char* comma = "";
            ((out << std::exchange(comma, ",") << P::name << (P::required ? "" : " = ...")), ...);
        }>.c_str();
    }();
};

// ---- members of a class ------------------------------------------------------------

// What a member adds to its block's catalogue record; each kind sets its own.
struct Member {
    static constexpr std::array<GetterEntry, 0> getters{};
    static constexpr std::array<MethodEntry, 0> methods{};
    static constexpr const ConstructorEntry* constructor = nullptr;
};

// Fields as read-only properties.
template <typename... F>
struct Fields : Member {
    static constexpr std::array<GetterEntry, sizeof...(F)> getters{{{F::name, type_output<typename F::type>}...}};
};

template <typename R, typename... A>
R unwrapped(std::expected<R, A...>);
template <typename R>
R unwrapped(R);
template <typename R, typename... A>
auto result_of(R (*)(A...)) -> decltype(unwrapped(std::declval<R>()));
template <typename R, typename C, typename... A>
auto result_of(R (C::*)(A...) const) -> decltype(unwrapped(std::declval<R>()));
template <typename R, typename C, typename... A>
C owner_of(R (C::*)(A...) const);
template <typename R, typename C, typename... A>
std::remove_cvref_t<C> owner_of(R (*)(C, A...));

template <auto Init, typename... P>
struct RecordOf {
    using type = decltype(owner_of(Init));
};
template <typename F, typename... P>
struct RecordOf<nullptr, F, P...> {
    using type = typename F::record;
};

// A constructor: Init fills the new instance's default record from the
// converted arguments and returns nothing or an error value. With no Init
// (nullptr) the parameters are fields and go straight into the record.
template <auto Init, typename... P>
struct Constructor : Member {
    using params = Params<P...>;
    using record = typename RecordOf<Init, P...>::type;
    static constexpr auto init = Init;
    static constexpr const char* display =
        static_text<[](auto& out) { out << class_name<record> << ".__new__()"; }>.c_str();
    // The class's doc: its name and the text signature, no body.
    static constexpr const char* doc =
        static_text<[](auto& out) { params::write_doc(out, class_name<record>, nullptr, ""); }>.c_str();
    static constexpr ConstructorEntry entry{params::entries, params::stub_signature};
    static constexpr const ConstructorEntry* constructor = &entry;
};

template <typename Fields>
struct FieldConstructor;
template <typename... F>
struct FieldConstructor<Fields<F...>> : Constructor<nullptr, F...> {};

// A module function that returns a new instance, filled as FieldConstructor.
template <Str Name, Str Doc, typename Fields>
struct Function;
template <Str Name, Str Doc, typename... F>
struct Function<Name, Doc, Fields<F...>> : Constructor<nullptr, F...> {
    using params = Params<F...>;
    static constexpr const char* name = Name.chars;
    static constexpr const char* display = static_text<[](auto& out) { out << Name.chars << "()"; }>.c_str();
    static constexpr const char* doc =
        static_text<[](auto& out) { params::write_doc(out, Name.chars, nullptr, Doc.chars); }>.c_str();
    static constexpr PyFunctionInfo info{Name.chars, params::entries, type_output<typename Function::record>,
                                         Doc.chars,  params::stub_signature, nullptr};
};

// A method: Op runs on the receiver's record with the bus (the first
// parameter) locked and the other arguments converted.
template <Str Name, auto Op, Str Doc, typename... A>
struct Method : Member {
    using params = Params<A...>;
    using record = decltype(owner_of(Op));
    static constexpr auto op = Op;
    static constexpr const char* name = Name.chars;
    static constexpr const char* display =
        static_text<[](auto& out) { out << class_name<record> << "." << Name.chars << "()"; }>.c_str();
    static constexpr const char* doc =
        static_text<[](auto& out) { params::write_doc(out, Name.chars, "$self", Doc.chars); }>.c_str();
    static constexpr std::array<MethodEntry, 1> methods{
        {{nullptr, Name.chars, params::entries, Doc.chars, type_output<decltype(result_of(Op))>, false, false}}};
};

// __repr__, from repr_text(const Record&) beside the class.
struct Repr : Member {
    static constexpr std::array<MethodEntry, 1> methods{{{nullptr, "__repr__", {}, "", type_output<std::string>, false, false}}};
};

// A static method per entry of a table of {name, limits}, each returning a
// new instance that holds the entry's value.
template <const auto& Table>
struct Presets : Member {
    static constexpr const auto& table = Table;
    static constexpr auto methods = [] {
        std::array<MethodEntry, Table.size()> out{};
        for (std::size_t i = 0; i < Table.size(); ++i)
            out[i] = {nullptr, Table[i].name, {}, "", type_output<std::remove_cvref_t<decltype(Table[i].limits)>>, true, false};
        return out;
    }();
};

// Part of the class that holds Record: its catalogue record, and its members
// for the class table.
template <typename Record, typename... M>
struct Block {
    using record = Record;
    using members = std::tuple<M...>;
    static constexpr auto getters = concat(M::getters...);
    static constexpr auto methods = concat(M::methods...);
    static constexpr const ConstructorEntry* constructor = [] {
        for (const ConstructorEntry* c : {M::constructor..., static_cast<const ConstructorEntry*>(nullptr)})
            if (c) return c;
        return static_cast<const ConstructorEntry*>(nullptr);
    }();
};

}  // namespace torvane::py::decl
