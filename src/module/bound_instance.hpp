#pragma once
// Methods that reach their C++ object only once it exists. pybind11 lets Python make an object
// with __new__ alone, whose methods would then run on memory no constructor has set up, and it
// ignores a second __init__ without a word: both are refused here with TypeError.

#include <pybind11/pybind11.h>

#include <string>
#include <typeinfo>

#include "module/type_name.hpp"

namespace tessarel {

// Where pybind11 keeps `self`'s C++ object, and whether one was made.
template <class T>
pybind11::detail::value_and_holder held_by(pybind11::handle self) {
    auto* const instance = reinterpret_cast<pybind11::detail::instance*>(self.ptr());
    return instance->get_value_and_holder(pybind11::detail::get_type_info(typeid(T)));
}

template <class T>
bool is_constructed(pybind11::handle self) {
    return held_by<T>(self).holder_constructed();
}

// The object behind `self`, an instance of `T`'s class, which is called `name` in messages.
template <class T>
T& constructed(pybind11::handle self, const char* name) {
    if (!pybind11::isinstance<T>(self)) {
        throw pybind11::type_error(std::string("expected a ") + name + ", not " + type_name(self));
    }
    const pybind11::detail::value_and_holder held = held_by<T>(self);
    if (!held.holder_constructed()) {
        throw pybind11::type_error(std::string("this ") + name +
                                   " was made by __new__ alone and was never initialised: make one as the "
                                   "documentation says");
    }
    return *held.template value_ptr<T>();
}

// Has a second __init__ of `T`'s objects raise TypeError, keeping the first's docstring.
template <class T>
void refuse_second_init(pybind11::class_<T>& type, const char* name) {
    const pybind11::object init = type.attr("__init__");
    const std::string doc = pybind11::str(init.attr("__doc__"));
    pybind11::options signature_already_in_doc;
    signature_already_in_doc.disable_function_signatures();
    type.attr("__init__") = pybind11::cpp_function(
        [init, name](pybind11::handle self, const pybind11::args& args, const pybind11::kwargs& kwargs) {
            if (is_constructed<T>(self)) {
                throw pybind11::type_error(std::string("this ") + name + " is initialised already: make a new one");
            }
            init(self, *args, **kwargs);
        },
        // Not named __init__, which pybind11 takes for a constructor of its own and skips the same way.
        pybind11::name("init"), pybind11::is_method(type), pybind11::doc(doc.c_str()));
}

}  // namespace tessarel
