#include "frame/argument_binding.hpp"

#include "frame/internal_failure.hpp"
#include "frame/object_text.hpp"

#include <string>
#include <vector>

namespace undarix {
namespace {

std::string display_name(const ArgumentSpec& spec) {
    std::string name;
    if (!spec.owner_name.empty()) {
        name.append(spec.owner_name).append(".");
    }
    name.append(spec.function_name).append("()");
    return name;
}

// 'a'; 'a' and 'b'; 'a', 'b', and 'c'
std::string name_list(const std::vector<std::string_view>& names) {
    std::string list;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) {
            if (names.size() > 2) {
                list += ",";
            }
            list += i + 1 == names.size() ? " and " : " ";
        }
        list.append("'").append(names[i]).append("'");
    }
    return list;
}

CallFailure too_many_positional(const ArgumentSpec& spec, std::size_t nargs) {
    std::string message = display_name(spec) + " takes ";
    if (spec.required_count == spec.parameter_count) {
        message += std::to_string(spec.parameter_count);
    } else {
        message += "from " + std::to_string(spec.required_count) + " to " + std::to_string(spec.parameter_count);
    }
    message += " positional arguments but " + std::to_string(nargs) + (nargs == 1 ? " was" : " were") + " given";
    return type_error(std::move(message));
}

CallFailure multiple_values(const ArgumentSpec& spec, std::string_view name) {
    return type_error(display_name(spec) + " got multiple values for argument '" + std::string(name) + "'");
}

CallFailure unexpected_keyword(const ArgumentSpec& spec, PyObject* name) {
    std::optional<std::string> text = object_text(name);
    if (!text) {
        raise_internal("a formatting trait implementation returned an error when the underlying stream did not: Error");
    }
    return type_error(display_name(spec) + " got an unexpected keyword argument '" + *text + "'");
}

CallFailure missing_arguments(const ArgumentSpec& spec, const std::vector<std::string_view>& names,
                              const char* kind) {
    std::string message = display_name(spec) + " missing " + std::to_string(names.size()) + " required " + kind +
                          (names.size() == 1 ? " argument: " : " arguments: ") + name_list(names);
    return type_error(std::move(message));
}

// Index of `name` among `count` names, or count when absent.  Lengths are
// compared before bytes (std::string_view equality does exactly that).
std::size_t find_name(const std::string_view* names, std::size_t count, std::string_view name) {
    for (std::size_t i = 0; i < count; ++i) {
        if (names[i] == name) {
            return i;
        }
    }
    return count;
}

std::size_t find_name(const KeywordOnlyParameter* entries, std::size_t count, std::string_view name) {
    for (std::size_t i = 0; i < count; ++i) {
        if (entries[i].name == name) {
            return i;
        }
    }
    return count;
}

}  // namespace

Status bind_arguments(const ArgumentSpec& spec, PyObject* const* args, std::size_t nargs, PyObject* kwnames,
                      PyObject** slots) {
    const std::size_t parameter_count = spec.parameter_count;
    if (args != nullptr) {
        const std::size_t copied = nargs < parameter_count ? nargs : parameter_count;
        for (std::size_t i = 0; i < copied; ++i) {
            slots[i] = args[i];
        }
    }
    if (nargs > parameter_count) {
        return too_many_positional(spec, nargs);
    }

    std::vector<std::string_view> positional_only_passed;  // no storage unless used
    if (kwnames != nullptr) {
        const Py_ssize_t keyword_count = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < keyword_count; ++k) {
            PyObject* name = PyTuple_GET_ITEM(kwnames, k);
            PyObject* value = args[nargs + static_cast<std::size_t>(k)];
            if (!PyUnicode_Check(name)) {
                return not_convertible_error(name, "PyString");
            }
            Py_ssize_t size = 0;
            const char* data = PyUnicode_AsUTF8AndSize(name, &size);
            if (data == nullptr) {
                (void)fetch_failure();
                return unexpected_keyword(spec, name);
            }
            const std::string_view text(data, static_cast<std::size_t>(size));

            const std::size_t keyword_index = find_name(spec.keyword_only, spec.keyword_only_count, text);
            if (keyword_index < spec.keyword_only_count) {
                PyObject*& slot = slots[parameter_count + keyword_index];
                if (slot != nullptr) {
                    return multiple_values(spec, text);
                }
                slot = value;
                continue;
            }
            const std::size_t index = find_name(spec.parameter_names, parameter_count, text);
            if (index == parameter_count) {
                return unexpected_keyword(spec, name);
            }
            if (index < spec.positional_only_count) {
                positional_only_passed.push_back(spec.parameter_names[index]);
                continue;
            }
            if (slots[index] != nullptr) {
                return multiple_values(spec, text);
            }
            slots[index] = value;
        }
    }

    if (!positional_only_passed.empty()) {
        return type_error(display_name(spec) +
                          " got some positional-only arguments passed as keyword arguments: " +
                          name_list(positional_only_passed));
    }

    if (nargs < spec.required_count) {
        std::vector<std::string_view> missing;
        for (std::size_t i = 0; i < spec.required_count; ++i) {
            if (slots[i] == nullptr) {
                missing.push_back(spec.parameter_names[i]);
            }
        }
        if (!missing.empty()) {
            return missing_arguments(spec, missing, "positional");
        }
    }

    std::vector<std::string_view> missing_keywords;
    for (std::size_t j = 0; j < spec.keyword_only_count; ++j) {
        if (spec.keyword_only[j].required && slots[parameter_count + j] == nullptr) {
            missing_keywords.push_back(spec.keyword_only[j].name);
        }
    }
    if (!missing_keywords.empty()) {
        return missing_arguments(spec, missing_keywords, "keyword");
    }
    return Status();
}

}  // namespace undarix
