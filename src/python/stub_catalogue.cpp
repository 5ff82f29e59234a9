// The signature records of every class, method block and module function,
// taken from the declarations (api.hpp) and registered while the library
// loads, one static registration per record.

#include "python/stub_catalogue.hpp"

#include "python/api.hpp"

namespace torvane::py {

constinit LoadList<PyClassInfo> py_class_infos;
constinit LoadList<PyMethodsInfo> py_methods_infos;
constinit LoadList<PyFunctionInfo> py_function_infos;
constinit LoadList<PyAttributeInfo> py_attribute_infos;

namespace {

constexpr char kModule[] = "torvane";
const DeclaredRecords<kModule, api::Classes, api::Blocks, api::Functions> records;

}  // namespace

}  // namespace torvane::py
