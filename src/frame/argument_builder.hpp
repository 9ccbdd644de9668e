// ArgumentBuilder: makes the argument object of an exception only when the
// exception is actually raised, so a failure that is dropped unseen never
// creates Python objects.
#pragma once

#include "frame/owned_ref.hpp"

#include <memory>
#include <string>
#include <utility>

namespace undarix {

class ArgumentBuilder {
public:
    virtual ~ArgumentBuilder() = default;
    // Returns a new reference; a failing object creation goes through
    // unexpected_api_failure and so raises InternalFailure.
    virtual OwnedRef build() = 0;
};

using ArgumentBuilderPtr = std::unique_ptr<ArgumentBuilder>;

// The message text as a str.
ArgumentBuilderPtr message_argument(std::string message);

// The one-element tuple (message,) that PanicException instances carry.
ArgumentBuilderPtr panic_argument(std::string message);

// Any callable returning OwnedRef; it may hold owned references, which are
// released when the builder has run or is dropped.
template <class Build>
ArgumentBuilderPtr argument_from(Build build) {
    struct Holder final : ArgumentBuilder {
        explicit Holder(Build b) : build_(std::move(b)) {}
        OwnedRef build() override { return build_(); }
        Build build_;
    };
    return std::make_unique<Holder>(std::move(build));
}

}  // namespace undarix
