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

namespace torvane::py::decl {

// ---- kinds of torvane_ext ----------------------------------------------------------

template <typename R, typename... E>
R unwrapped_op(std::expected<R, E...>);
template <typename R, typename Bus, typename... A>
decltype(unwrapped_op(std::declval<R>())) bus_result_of(R (*)(Bus&, A...));

// A module function of `Module` whose first parameter is the bus: the other
// arguments are converted (records copied) under the interpreter lock, then
// Op(transport, args...) runs with the lock released and the bus locked.
template <Str Module, Str Name, auto Op, Str Doc, typename... A>
struct BusFunction {
    using params = Params<Arg<"bus", Bus>, A...>;
    static constexpr auto op = Op;
    using result = decltype(bus_result_of(Op));
    static constexpr const char* name = Name.chars;
    static constexpr const char* display = c_text<[](TextSink& out) { out << Name.chars << "()"; }>;
    static constexpr const char* doc =
        c_text<[](TextSink& out) { params::write_doc(out, Name.chars, nullptr, Doc.chars); }>;
    static constexpr PyFunctionInfo info{Name.chars,          params::entries, type_output<result>, Doc.chars,
                                         params::stub_signature, Module.chars};
};

// A class whose instances hold references to other Python objects: its
// constructor takes these parameters and its module builds the record from
// them (an absent optional is None to it).
template <typename Record, Str Doc, typename... P>
struct HoldingConstructor : Member {
    using params = Params<P...>;
    using record = Record;
    static constexpr bool holds_references = true;
    static constexpr const char* display = c_text<[](TextSink& out) { out << class_name<Record> << "()"; }>;
    static constexpr const char* doc =
        c_text<[](TextSink& out) { params::write_doc(out, class_name<Record>, nullptr, Doc.chars); }>;
    static constexpr ConstructorEntry entry{params::entries, params::stub_signature};
    static constexpr bool constructs = true;
    static constexpr const ConstructorEntry* constructor = &entry;
};

// Read-only properties computed by the class's module; Id picks which.
template <Str Name, typename T, auto Id>
struct Computed {
    static constexpr const char* name = Name.chars;
    using type = T;
    static constexpr auto id = Id;
};
template <typename... C>
struct ComputedFields : Member {
    static constexpr std::array<GetterEntry, sizeof...(C)> getters{{{C::name, type_output<typename C::type>}...}};
};

// A method that runs one group exchange: the arguments fill every motor's
// command (Frames says how) under the interpreter lock, the exchange runs
// with it released, and a tuple of states (None for silence) comes back.
template <typename Record, Str Name, auto Frames, typename Result, Str Doc, typename... A>
struct GroupTick : Member {
    using params = Params<A...>;
    using record = Record;
    using result = Result;
    static constexpr auto frames = Frames;
    static constexpr const char* name = Name.chars;
    static constexpr const char* display =
        c_text<[](TextSink& out) { out << class_name<Record> << "." << Name.chars << "()"; }>;
    static constexpr const char* doc =
        c_text<[](TextSink& out) { params::write_doc(out, Name.chars, "$self", Doc.chars); }>;
    static constexpr std::array<MethodEntry, 1> methods{
        {{params::stub_signature, Name.chars, params::entries, Doc.chars, type_output<Result>, false, false}}};
};

// A method served by its class's module, Id picking which, on the bound
// parameters (an absent optional one is null to it).
template <typename Record, Str Name, auto Id, typename Result, Str Doc, typename... A>
struct RecordCall : Member {
    using params = Params<A...>;
    using record = Record;
    using result = Result;
    static constexpr auto call_id = Id;
    static constexpr const char* name = Name.chars;
    static constexpr const char* display =
        c_text<[](TextSink& out) { out << class_name<Record> << "." << Name.chars << "()"; }>;
    static constexpr const char* doc =
        c_text<[](TextSink& out) { params::write_doc(out, Name.chars, "$self", Doc.chars); }>;
    static constexpr std::array<MethodEntry, 1> methods{
        {{params::stub_signature, Name.chars, params::entries, Doc.chars, type_output<Result>, false, false}}};
};

// ---- kinds without a bus: module functions, classes with their own slots ----------------

template <typename R, typename... A>
R plain_result_of(R (*)(A...));
template <typename R, typename E, typename... A>
R plain_result_of(std::expected<R, E> (*)(A...));

// A module function of `Module` on its converted arguments alone, run under
// the interpreter lock: Op(args...) returns a value, or a value or an error.
template <Str Module, Str Name, auto Op, Str Doc, typename... A>
struct PlainFunction {
    static constexpr bool plain = true;
    using params = Params<A...>;
    static constexpr auto op = Op;
    using result = decltype(plain_result_of(Op));
    static constexpr const char* name = Name.chars;
    static constexpr const char* display = c_text<[](TextSink& out) { out << Name.chars << "()"; }>;
    static constexpr const char* doc =
        c_text<[](TextSink& out) { params::write_doc(out, Name.chars, nullptr, Doc.chars); }>;
    static constexpr PyFunctionInfo info{Name.chars,          params::entries, type_output<result>, Doc.chars,
                                         params::stub_signature, Module.chars};
};

// Members whose slots the class's module fills itself (OwnSlot); Id picks
// which of its functions serves each.
struct OwnSlot : Member {
    static constexpr bool own_slot = true;
};

// A constructor that makes the record from the converted arguments:
// Make(args...) returns it or an error value.
template <typename Record, auto Make, Str Doc, typename... P>
struct MakingConstructor : OwnSlot {
    using params = Params<P...>;
    using record = Record;
    static constexpr auto make = Make;
    static constexpr const char* display = c_text<[](TextSink& out) { out << class_name<Record> << "()"; }>;
    static constexpr const char* doc =
        c_text<[](TextSink& out) { params::write_doc(out, class_name<Record>, nullptr, Doc.chars); }>;
    static constexpr ConstructorEntry entry{params::entries, params::stub_signature};
    static constexpr bool constructs = true;
    static constexpr const ConstructorEntry* constructor = &entry;
};

// The instance is its own iterator; each next item comes from call Id.
template <typename Record, auto Id, typename Yield>
struct Iterates : OwnSlot {
    static constexpr auto id = Id;
    static constexpr std::array<MethodEntry, 2> methods{
        {{nullptr, "__iter__", {}, "", type_output<Record>, false, false},
         {nullptr, "__next__", {}, "", type_output<Yield>, false, false}}};
};

// A method without parameters, served by call Id.
template <typename Record, Str Name, auto Id, typename Result, Str Doc>
struct Call : OwnSlot {
    using params = Params<>;
    static constexpr auto id = Id;
    static constexpr const char* name = Name.chars;
    static constexpr const char* doc =
        c_text<[](TextSink& out) { params::write_doc(out, Name.chars, "$self", Doc.chars); }>;
    static constexpr std::array<MethodEntry, 1> methods{
        {{nullptr, Name.chars, {}, Doc.chars, type_output<Result>, false, false}}};
};

// Read-only properties (Computed) served by the class's module.
template <typename... C>
struct OwnComputed : OwnSlot {
    static constexpr std::array<GetterEntry, sizeof...(C)> getters{{{C::name, type_output<typename C::type>}...}};
};

}  // namespace torvane::py::decl
