// Where short links live. The server sees only this interface.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace zolt::gateway {

class LinkStore {
  public:
    virtual ~LinkStore() = default;

    // The address behind `code`; nullopt when unknown or on a read failure.
    virtual std::optional<std::string> find_address(std::string_view code) = 0;

    // The code already given to `address`, if any.
    virtual std::optional<std::string> find_code(std::string_view address) = 0;

    // Gives `address` a code (its existing one if it has one) and calls `done` with it once
    // the link is durable, or with the empty string when it could not be stored. `done` runs
    // on a thread of the store's: it must only hand the result over.
    virtual void create(std::string address, std::function<void(std::string code)> done) = 0;
};

}  // namespace zolt::gateway
