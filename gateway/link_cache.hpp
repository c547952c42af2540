// A bounded, thread-safe string map for lookups in front of the database. Each shard keeps
// two generations: when the young one fills its byte budget the old one is dropped, so
// memory stays flat however many links the database holds, and keys still in use survive
// by being copied forward on a hit.
#pragma once

#include <array>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

namespace zolt::gateway {

class BoundedCache {
  public:
    explicit BoundedCache(std::size_t budget_bytes);

    std::optional<std::string> get(std::string_view key);
    void put(const std::string& key, const std::string& value);

  private:
    struct Generation {
        std::unordered_map<std::string, std::string> entries;
        std::size_t bytes = 0;
    };
    struct Shard {
        std::mutex mutex;
        Generation young;
        Generation old;
    };
    static constexpr std::size_t kShards = 16;

    void put_locked(Shard& shard, const std::string& key, const std::string& value);

    std::size_t shard_budget_;
    std::array<Shard, kShards> shards_;
};

}  // namespace zolt::gateway
