// Expected<T>: a step's value or the CallFailure that stopped it.
#pragma once

#include "frame/call_failure.hpp"

#include <optional>
#include <utility>
#include <variant>

namespace undarix {

template <class T>
class [[nodiscard]] Expected {
public:
    Expected(T value) : state_(std::in_place_index<0>, std::move(value)) {}
    Expected(CallFailure failure) : state_(std::in_place_index<1>, std::move(failure)) {}

    explicit operator bool() const noexcept { return state_.index() == 0; }
    T& value() { return std::get<0>(state_); }
    CallFailure take_failure() { return std::move(std::get<1>(state_)); }

private:
    std::variant<T, CallFailure> state_;
};

// Success carries no value.
template <>
class [[nodiscard]] Expected<void> {
public:
    Expected() = default;
    Expected(CallFailure failure) : failure_(std::move(failure)) {}

    explicit operator bool() const noexcept { return !failure_.has_value(); }
    CallFailure take_failure() { return std::move(*failure_); }

private:
    std::optional<CallFailure> failure_;
};

using Status = Expected<void>;

}  // namespace undarix
