// Writes the type stub of one module (TORVANE_STUB_MODULE, torvane unless the
// build says otherwise) from its signature catalogue.
//
//   torvane_stubgen [OUTPUT]      (standard output when OUTPUT is absent)
//   torvane_ext_stubgen [OUTPUT]
//
// Linked with the same catalogue records that are compiled into the module,
// so the stub cannot drift from what was built. The catalogue's lists come in
// load order, which means nothing: records are matched by class key and name,
// and the output is sorted so that it is the same on every build.

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <map>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "python/stub_catalogue.hpp"

namespace {

using namespace torvane::py;

#ifndef TORVANE_STUB_MODULE
#define TORVANE_STUB_MODULE "torvane"
#endif
constexpr std::string_view kSelfModule = TORVANE_STUB_MODULE;

// Records without a module name are torvane's.
bool ours(const char* module) { return (module ? std::string_view(module) : "torvane") == kSelfModule; }

// Every name of a torvane class in `text` not already qualified, as torvane.Name.
std::string qualify_torvane(const std::string& text) {
    std::set<std::string> torvane_classes;
    for (const PyClassInfo& c : py_class_infos)
        if (!c.module || std::string_view(c.module) == "torvane") torvane_classes.insert(c.name);
    std::string out;
    for (std::size_t i = 0; i < text.size();) {
        auto word_char = [&](std::size_t k) { return std::isalnum(static_cast<unsigned char>(text[k])) || text[k] == '_'; };
        if (!word_char(i)) {
            out += text[i++];
            continue;
        }
        std::size_t end = i;
        while (end < text.size() && word_char(end)) ++end;
        const std::string word = text.substr(i, end - i);
        if ((i == 0 || text[i - 1] != '.') && torvane_classes.contains(word)) out += "torvane.";
        out += word;
        i = end;
    }
    return out;
}

struct Writer {
    std::ostringstream out;
    std::set<std::string> imports;

    std::string type(TypeRef ref) {
        TypeInfo info = ref();
        for (const ModuleRef& m : info.imports)
            if (m.name != kSelfModule) imports.insert(m.name);
        // torvane's classes are named bare in its records; another module's stub qualifies them.
        if (kSelfModule != "torvane") info.name = qualify_torvane(info.name);
        // The module's own classes go unqualified.
        const std::string own = std::string(kSelfModule) + ".";
        for (auto at = info.name.find(own); at != std::string::npos; at = info.name.find(own, at)) {
            const bool inside_name = at > 0 && (std::isalnum(static_cast<unsigned char>(info.name[at - 1])) ||
                                                info.name[at - 1] == '_' || info.name[at - 1] == '.');
            if (inside_name)
                at += own.size();
            else
                info.name.erase(at, own.size());
        }
        return info.name;
    }
};

[[noreturn]] void fail(const std::string& what) { throw std::runtime_error(what); }

std::string trim(std::string_view s) {
    while (!s.empty() && s.front() == ' ') s.remove_prefix(1);
    while (!s.empty() && s.back() == ' ') s.remove_suffix(1);
    return std::string(s);
}

// Which parameters have a default, read from a signature text such as
// "motor_id,master_id,limits = ...,timeout_ms = ...". The text must name the
// parameters in their order; anything else is a broken catalogue.
std::vector<bool> defaults_of(const char* signature, std::span<const ParamEntry> params, const std::string& owner) {
    std::vector<bool> has_default(params.size(), false);
    if (!signature) return has_default;
    std::vector<std::string> entries;
    std::string_view rest = signature;
    while (!rest.empty()) {
        const auto comma = rest.find(',');
        entries.push_back(trim(rest.substr(0, comma)));
        rest = comma == std::string_view::npos ? std::string_view{} : rest.substr(comma + 1);
    }
    if (entries.size() != params.size()) fail(owner + ": signature text does not match its parameters");
    for (std::size_t i = 0; i < params.size(); ++i) {
        const std::string& e = entries[i];
        const std::string name = params[i].name;
        if (e == name) continue;
        if (e != name + " = ...") fail(owner + ": unexpected signature entry '" + e + "'");
        has_default[i] = true;
    }
    // Keyword-only parameters, after a "*", may go without defaults.
    for (std::size_t i = 1; i < params.size() && std::string_view(params[i].name) != "*"; ++i)
        if (has_default[i - 1] && !has_default[i]) fail(owner + ": required parameter after a default");
    return has_default;
}

std::string parameters(Writer& w, const char* first, std::span<const ParamEntry> params, const char* signature,
                       const std::string& owner) {
    const std::vector<bool> has_default = defaults_of(signature, params, owner);
    std::string s = first ? first : "";
    for (std::size_t i = 0; i < params.size(); ++i) {
        if (!s.empty()) s += ", ";
        s += params[i].name;
        if (!params[i].type) continue;  // "*"
        s += ": ";
        s += w.type(params[i].type);
        if (has_default[i]) s += " = ...";
    }
    return s;
}

// A body of "..." or a docstring, indented under a definition.
void body(std::ostringstream& out, const char* doc, const std::string& indent) {
    if (!doc || !*doc) {
        out << " ...\n";
        return;
    }
    std::string text = doc;
    if (text.find("\"\"\"") != std::string::npos || text.find('\\') != std::string::npos)
        fail("documentation with quotes or backslashes is not supported: " + text);
    out << "\n" << indent << "\"\"\"";
    for (char c : text) {
        out << c;
        if (c == '\n') out << indent;
    }
    out << "\"\"\"\n";
}

void write_method(Writer& w, const MethodEntry& m, const std::string& owner) {
    const std::string where = owner + "." + m.name;
    if (m.is_static && m.is_class) fail(where + ": both static and class method");
    const char* receiver = m.is_static ? nullptr : m.is_class ? "cls" : "self";
    if (m.is_static) w.out << "    @staticmethod\n";
    if (m.is_class) w.out << "    @classmethod\n";
    w.out << "    def " << m.name << "(" << parameters(w, receiver, m.params, m.signature, where) << ") -> "
          << w.type(m.result) << ":";
    body(w.out, m.doc, "        ");
}

void write_class(Writer& w, const PyClassInfo& cls, std::vector<const PyMethodsInfo*> blocks) {
    const std::string name = cls.name;
    // The constructor's block first, then by first method name: load order
    // must not show in the output.
    std::ranges::sort(blocks, [](const PyMethodsInfo* a, const PyMethodsInfo* b) {
        if ((a->constructor != nullptr) != (b->constructor != nullptr)) return a->constructor != nullptr;
        const std::string_view fa = a->methods.empty() ? "" : a->methods.front().name;
        const std::string_view fb = b->methods.empty() ? "" : b->methods.front().name;
        return fa < fb;
    });

    // No class of the module can be subclassed.
    w.imports.insert("typing");
    w.out << "\n@typing.final\nclass " << name << ":";
    if (cls.doc && *cls.doc) {
        body(w.out, cls.doc, "    ");
    } else {
        w.out << "\n";
    }
    std::set<std::string> seen;
    auto claim = [&](const char* member) {
        if (!seen.insert(member).second) fail(name + "." + member + " is declared twice");
    };
    bool empty = true;
    for (const GetterEntry& m : cls.members) {
        claim(m.name);
        w.out << "    " << m.name << ": " << w.type(m.type) << "\n";
        empty = false;
    }
    bool constructed = false;
    for (const PyMethodsInfo* b : blocks) {
        if (!b->constructor) continue;
        if (constructed) fail(name + " has two constructors");
        constructed = true;
        claim("__new__");
        const ConstructorEntry& c = *b->constructor;
        w.out << "    def __new__(" << parameters(w, "cls", c.params, c.signature, name + ".__new__") << ") -> "
              << name << ": ...\n";
        empty = false;
    }
    for (const PyMethodsInfo* b : blocks)
        for (const GetterEntry& g : b->getters) {
            claim(g.name);
            w.out << "    @property\n    def " << g.name << "(self) -> " << w.type(g.type) << ": ...\n";
            empty = false;
        }
    for (const PyMethodsInfo* b : blocks)
        for (const MethodEntry& m : b->methods) {
            claim(m.name);
            write_method(w, m, name);
            empty = false;
        }
    if (empty) w.out << "    ...\n";
}

std::string generate() {
    Writer w;

    std::map<std::string, const PyClassInfo*> classes;
    std::map<const ClassKey*, std::vector<const PyMethodsInfo*>> blocks;
    // The generator of another module may be linked with these records too
    // (its classes use them as types): they are left out.
    std::set<const ClassKey*> others;
    for (const PyClassInfo& c : py_class_infos) {
        if (!ours(c.module)) {
            others.insert(c.key);
            continue;
        }
        if (!classes.emplace(c.name, &c).second) fail(std::string("class ") + c.name + " is registered twice");
        blocks[c.key];
    }
    for (const PyMethodsInfo& b : py_methods_infos) {
        auto it = blocks.find(b.key);
        if (it == blocks.end()) {
            if (others.contains(b.key)) continue;
            fail(std::string("a method block of unknown class ") + b.key->name);
        }
        it->second.push_back(&b);
    }
    std::map<std::string, const PyFunctionInfo*> functions;
    for (const PyFunctionInfo& f : py_function_infos)
        if (ours(f.module) && !functions.emplace(f.name, &f).second)
            fail(std::string("function ") + f.name + " is registered twice");
    std::map<std::string, const PyAttributeInfo*> attributes;
    std::vector<const PyAttributeInfo*> attribute_order;
    for (const PyAttributeInfo& a : py_attribute_infos) {
        if (!ours(a.module)) continue;
        if (!attributes.emplace(a.name, &a).second) fail(std::string("attribute ") + a.name + " is registered twice");
        attribute_order.push_back(&a);
    }
    std::ranges::sort(attribute_order, {}, &PyAttributeInfo::order);

    std::set<const ClassKey*> keys;
    for (const auto& [name, cls] : classes)
        if (!keys.insert(cls->key).second) fail("two classes share the key of " + name);

    for (const PyAttributeInfo* a : attribute_order) {
        // A text may open with the modules it uses, a line the stub does not
        // show: "# uses: enum typing". An empty text is written by another record.
        std::string_view text = a->text;
        if (text.starts_with("# uses:")) {
            const auto eol = std::min(text.find('\n'), text.size());
            std::istringstream uses(std::string(text.substr(7, eol - 7)));
            for (std::string m; uses >> m;) w.imports.insert(m);
            text.remove_prefix(std::min(eol + 1, text.size()));
        }
        if (!text.empty()) w.out << "\n" << text;
    }
    for (const auto& [name, cls] : classes) write_class(w, *cls, blocks[cls->key]);
    for (const auto& [name, f] : functions) {
        w.out << "\ndef " << name << "(" << parameters(w, nullptr, f->params, f->signature, name) << ") -> "
              << w.type(f->result) << ":";
        body(w.out, f->doc, "    ");
    }

    std::ostringstream head;
    // torvane carries its catalogue; another module's records are built
    // beside it, from the same declarations.
    const char* source = kSelfModule == "torvane" ? "signature catalogue compiled into the module"
                                                  : "signature records of the declarations it is built from";
    head << "# Type stub of the " << kSelfModule << " extension module, written by " << kSelfModule
         << "_stubgen from the\n# " << source << ". Do not edit.\n\n";
    for (const std::string& m : w.imports) head << "import " << m << "\n";
    if (!w.imports.empty()) head << "\n";
    head << "__all__ = [\n    \"__version__\",\n";
    for (const auto& [name, a] : attributes) head << "    \"" << name << "\",\n";
    for (const auto& [name, cls] : classes) head << "    \"" << name << "\",\n";
    for (const auto& [name, f] : functions) head << "    \"" << name << "\",\n";
    head << "]\n\n__version__: str\n";
    return head.str() + w.out.str();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 2) {
        std::cerr << "usage: " << argv[0] << " [OUTPUT]\n";
        return 2;
    }
    std::string stub;
    try {
        stub = generate();
    } catch (const std::exception& e) {
        std::cerr << argv[0] << ": " << e.what() << "\n";
        return 1;
    }
    if (argc == 1) {
        std::cout << stub;
        return std::cout.flush() ? 0 : 1;
    }
    std::ofstream file(argv[1], std::ios::binary | std::ios::trunc);
    file << stub;
    file.close();
    if (!file) {
        std::cerr << argv[0] << ": cannot write " << argv[1] << "\n";
        return 1;
    }
    return 0;
}
