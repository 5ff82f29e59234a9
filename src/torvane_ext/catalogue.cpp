// torvane_ext's signature records for the stub generator, taken from its
// declarations (ext_api.hpp): classes, method blocks, functions, and the
// attributes made at import (ControlMode, Status, status, REGISTERS, the
// exceptions).

#include <string>

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
    for (const ExceptionDecl& e : kExceptions) {
        out << "class " << e.name << "(" << (e.base ? e.base : "RuntimeError") << "):\n    \"\"\"" << e.doc
            << "\"\"\"\n";
        if (std::string_view(e.name) == "BusError") out << "    errno: int | None\n";
        if (std::string_view(e.name) == "MotorFault")
            out << "    faults: dict[int, Status]\n    states: tuple[torvane.MotorState | None, ...]\n";
    }
}>();

constexpr PyAttributeInfo kAttributes[] = {
    {kModule, "ControlMode", control_mode_text.data(), 0},
    {kModule, "REGISTERS", "REGISTERS: tuple[RegisterInfo, ...]\n", 1},
    {kModule, "MotorError", exceptions_text.data(), 2},
    // Named for __all__; their text is MotorError's.
    {kModule, "MotorTimeout", "", 3},
    {kModule, "BusError", "", 3},
    {kModule, "RegisterError", "", 3},
    {kModule, "VerifyError", "", 3},
    {kModule, "MotorFault", "", 3},
    {kModule, kStatusClass, status_text.data(), 4},
    {kModule, kStatusFunction.name, status_function_text.data(), 5},
};
const Registration<PyAttributeInfo> attributes[] = {{py_attribute_infos, kAttributes[0]}, {py_attribute_infos, kAttributes[1]},
                                                    {py_attribute_infos, kAttributes[2]}, {py_attribute_infos, kAttributes[3]},
                                                    {py_attribute_infos, kAttributes[4]}, {py_attribute_infos, kAttributes[5]},
                                                    {py_attribute_infos, kAttributes[6]}, {py_attribute_infos, kAttributes[7]},
                                                    {py_attribute_infos, kAttributes[8]}, {py_attribute_infos, kAttributes[9]}};

}  // namespace

}  // namespace torvane::ext
