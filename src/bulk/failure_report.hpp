// Turns a stop raised while decoding into a message a person can act on,
// from the decode notes, while the bytes the notes point into are alive.
#pragma once

#include <optional>
#include <string_view>

#include "bulk/failure.hpp"
#include "common/stop.hpp"

namespace kz {

// Installed (with quiet stops) around one decode; keeps the failure of the
// first stop it is told of.
class FailureReport final : public StopListener {
public:
    void stopped(std::string_view message) noexcept override;

    // The failure of the stop it was told of, or nothing.
    std::optional<Failure>& failure() noexcept { return failure_; }

private:
    std::optional<Failure> failure_;
};

// The person's message for `stop_message` at the place the notes describe.
Failure describe_stop(std::string_view stop_message);

}  // namespace kz
