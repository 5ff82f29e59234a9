// torvane_ext's signature records for the stub generator, taken from its
// declarations (ext_api.hpp): classes, method blocks, functions, and the
// attributes made at import (ControlMode, Status, status, REGISTERS, the
// row layouts, the exceptions).

#include <array>
#include <string>
#include <utility>

#include "python/stub_catalogue.hpp"
#include "torvane_ext/ext_api.hpp"

namespace torvane::ext {

using namespace py;

namespace {

const DeclaredRecords<kModule, Classes, Blocks, Functions> records;

// The stub texts of what the module makes at import, from the same tables.
constexpr auto control_mode_text = decl::make_text<[](decl::TextSink& out) {
    out << "# uses: enum\nclass ControlMode(enum.IntEnum):\n";
    for (const ModeName& m : kModes) {
        out << "    " << m.name << " = ";
        const char digit[2] = {static_cast<char>('0' + m.value), 0};
        out << digit << "\n";
    }
}>();
constexpr auto status_text = decl::make_text<[](decl::TextSink& out) {
    out << "# uses: enum\nclass " << kStatusClass << "(enum.IntEnum):\n";
    for (const damiao::StatusInfo& st : damiao::kStatuses) {
        const char code[3] = {st.code >= 10 ? '1' : static_cast<char>('0' + st.code),
                              st.code >= 10 ? static_cast<char>('0' + st.code - 10) : '\0', '\0'};
        out << "    " << st.name << " = " << code << "\n";
    }
    out << "    @property\n    def is_fault(self) -> bool:\n        \"\"\"" << kIsFaultDoc << "\"\"\"\n";
}>();
constexpr auto status_function_text = decl::make_text<[](decl::TextSink& out) {
    const ImportFunction& f = kStatusFunction;
    out << "# uses: torvane\ndef " << f.name << "(" << f.stub_params << ") -> " << f.stub_result << ":\n    \"\"\""
        << f.doc << "\"\"\"\n";
}>();
constexpr auto exceptions_text = decl::make_text<[](decl::TextSink& out) {
    for (const ExceptionDecl& e : kExceptions)
        out << "class " << e.name << "(" << (e.base ? e.base : "RuntimeError") << "):\n    \"\"\"" << e.doc
            << "\"\"\"\n" << e.fields;
}>();

// The exceptions are all written with the first; the others are named for __all__.
constexpr std::size_t kOwn = 7;
constexpr auto kAttributes = [] {
    std::array<PyAttributeInfo, kOwn + kExceptions.size()> out{{
        {kModule, "ControlMode", control_mode_text.data(), 0},
        {kModule, "REGISTERS", "REGISTERS: tuple[RegisterInfo, ...]\n", 1},
        {kModule, kCommandColumnsName, "COMMAND_COLUMNS: dict[str, tuple[str, ...]]\n", 1},
        {kModule, kStateColumnsName, "STATE_COLUMNS: tuple[str, ...]\n", 1},
        {kModule, kErrorClassesName, "ERROR_CLASSES: tuple[str, ...]\n", 1},
        {kModule, kStatusClass, status_text.data(), 4},
        {kModule, kStatusFunction.name, status_function_text.data(), 5},
    }};
    for (std::size_t i = 0; i < kExceptions.size(); ++i)
        out[kOwn + i] = {kModule, kExceptions[i].name, i == 0 ? exceptions_text.data() : "", i == 0 ? 2 : 3};
    return out;
}();

static_assert(kAttributes.size() == 13);
const Registration<PyAttributeInfo> attributes[] = {
    {py_attribute_infos, kAttributes[0]},  {py_attribute_infos, kAttributes[1]},  {py_attribute_infos, kAttributes[2]},
    {py_attribute_infos, kAttributes[3]},  {py_attribute_infos, kAttributes[4]},  {py_attribute_infos, kAttributes[5]},
    {py_attribute_infos, kAttributes[6]},  {py_attribute_infos, kAttributes[7]},  {py_attribute_infos, kAttributes[8]},
    {py_attribute_infos, kAttributes[9]},  {py_attribute_infos, kAttributes[10]}, {py_attribute_infos, kAttributes[11]},
    {py_attribute_infos, kAttributes[12]}};

}  // namespace

}  // namespace torvane::ext
