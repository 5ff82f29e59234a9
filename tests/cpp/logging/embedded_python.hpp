#pragma once
// CPython inside a test program, with torvane in its table of built-in
// modules. Started on first use and kept until the process ends; the calling
// (main) thread then holds the interpreter lock.

#include <Python.h>

#include <string>

#include "python/ref.hpp"

namespace torvane::embedded {

// Starts the interpreter, imports torvane (installing the logging bridge),
// and makes every Python log record land in the list __main__.records, with
// the root logger letting everything through.
void ensure_python();

// Runs statements in __main__; false (and the error printed) if they raise.
bool run(const std::string& code);
// Evaluates an expression in __main__; null (and the error printed) if it raises.
py::Ref eval(const std::string& expr);
std::string eval_str(const std::string& expr);
long eval_long(const std::string& expr);
bool eval_bool(const std::string& expr);

}  // namespace torvane::embedded
