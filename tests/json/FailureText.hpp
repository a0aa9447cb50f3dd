#pragma once
// Runs a call that must fail and gives the failure's kind and client text.

#include "Platform/Failure.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <utility>

namespace Quillmark::Tests {

struct CaughtFailure {
    Platform::FailureKind kind;
    std::string message;
};

template <class Call>
std::optional<CaughtFailure> FailureOf(Call&& call) {
    try {
        std::forward<Call>(call)();
    } catch (const Platform::Failure& failure) {
        return CaughtFailure{failure.Kind(), failure.Message()};
    }
    return std::nullopt;
}

}  // namespace Quillmark::Tests
