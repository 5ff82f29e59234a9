#pragma once
// torvane_ext's declaration kinds, beside torvane's own (python/declare.hpp):
// functions on a bus or on plain values, classes that hold other Python
// objects, exchanges of a whole group, and members whose slots the module
// fills itself. What their doc strings, text signatures and catalogue
// records share is written once, in the bases below.

#include <array>
#include <expected>
#include <utility>

#include "python/declare.hpp"

namespace torvane::py::decl {

// ---- what the kinds share ---------------------------------------------------------------

// A module function of `Module`: its doc with text signature, and its record.
template <Str Module, Str Name, Str Doc, typename Params, typename Result>
struct FunctionTexts {
    using params = Params;
    using result = Result;
    static constexpr const char* name = Name.chars;
    static constexpr const char* display = c_text<[](TextSink& out) { out << Name.chars << "()"; }>;
    static constexpr const char* doc =
        c_text<[](TextSink& out) { Params::write_doc(out, Name.chars, nullptr, Doc.chars); }>;
    static constexpr PyFunctionInfo info{Name.chars,          Params::entries, type_output<Result>, Doc.chars,
                                         Params::stub_signature, Module.chars};
};

// A method of Record's class taking Params and returning Result.
template <typename Record, Str Name, Str Doc, typename Params, typename Result>
struct MethodTexts : Member {
    using params = Params;
    using record = Record;
    using result = Result;
    static constexpr const char* name = Name.chars;
    static constexpr const char* display =
        c_text<[](TextSink& out) { out << class_name<Record> << "." << Name.chars << "()"; }>;
    static constexpr const char* doc =
        c_text<[](TextSink& out) { Params::write_doc(out, Name.chars, "$self", Doc.chars); }>;
    static constexpr std::array<MethodEntry, 1> methods{
        {{Params::stub_signature, Name.chars, Params::entries, Doc.chars, type_output<Result>, false, false}}};
};

// The constructor of Record's class taking Params.
template <typename Base, typename Record, Str Doc, typename Params>
struct ConstructorTexts : Base {
    using params = Params;
    using record = Record;
    static constexpr const char* display = c_text<[](TextSink& out) { out << class_name<Record> << "()"; }>;
    static constexpr const char* doc =
        c_text<[](TextSink& out) { Params::write_doc(out, class_name<Record>, nullptr, Doc.chars); }>;
    static constexpr ConstructorEntry entry{Params::entries, Params::stub_signature};
    static constexpr bool constructs = true;
    static constexpr const ConstructorEntry* constructor = &entry;
};

// ---- functions ---------------------------------------------------------------------------

template <typename R, typename... E>
R unwrapped_op(std::expected<R, E...>);
template <typename R, typename Bus, typename... A>
decltype(unwrapped_op(std::declval<R>())) bus_result_of(R (*)(Bus&, A...));

// A module function whose first parameter is the bus: the other arguments
// are converted (records copied) under the interpreter lock, then
// Op(transport, args...) runs with the lock released and the bus locked.
template <Str Module, Str Name, auto Op, Str Doc, typename... A>
struct BusFunction : FunctionTexts<Module, Name, Doc, Params<Arg<"bus", Bus>, A...>, decltype(bus_result_of(Op))> {
    static constexpr auto op = Op;
};

template <typename R, typename... A>
R plain_result_of(R (*)(A...));
template <typename R, typename E, typename... A>
R plain_result_of(std::expected<R, E> (*)(A...));

// A module function on its converted arguments alone, run under the
// interpreter lock: Op(args...) returns a value, or a value or an error.
template <Str Module, Str Name, auto Op, Str Doc, typename... A>
struct PlainFunction : FunctionTexts<Module, Name, Doc, Params<A...>, decltype(plain_result_of(Op))> {
    static constexpr bool plain = true;
    static constexpr auto op = Op;
};

// ---- classes that hold other objects: their module builds and serves them ------------------

// The constructor takes these parameters and the module builds the record
// from them (an absent optional is None to it).
template <typename Record, Str Doc, typename... P>
struct HoldingConstructor : ConstructorTexts<Member, Record, Doc, Params<P...>> {
    static constexpr bool holds_references = true;
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
struct GroupTick : MethodTexts<Record, Name, Doc, Params<A...>, Result> {
    static constexpr auto frames = Frames;
};

// A method served by its class's module, Id picking which, on the bound
// parameters (an absent optional one is null to it).
template <typename Record, Str Name, auto Id, typename Result, Str Doc, typename... A>
struct RecordCall : MethodTexts<Record, Name, Doc, Params<A...>, Result> {
    static constexpr auto call_id = Id;
};

// ---- classes with their own slots ---------------------------------------------------------

// Members whose slots the class's module fills itself; Id picks which of its
// functions serves each.
struct OwnSlot : Member {
    static constexpr bool own_slot = true;
};

// A constructor that makes the record from the converted arguments:
// Make(args...) returns it or an error value.
template <typename Record, auto Make, Str Doc, typename... P>
struct MakingConstructor : ConstructorTexts<OwnSlot, Record, Doc, Params<P...>> {
    static constexpr auto make = Make;
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
