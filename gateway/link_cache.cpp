#include "gateway/link_cache.hpp"

#include <functional>

namespace zolt::gateway {

namespace {
// Rough cost of one entry beyond its characters: node, bucket and two string headers.
constexpr std::size_t kEntryOverhead = 96;
}  // namespace

BoundedCache::BoundedCache(std::size_t budget_bytes)
    : shard_budget_(budget_bytes / kShards / 2 + 1) {}

std::optional<std::string> BoundedCache::get(std::string_view key) {
    Shard& shard = shards_[std::hash<std::string_view>{}(key) % kShards];
    std::lock_guard lock(shard.mutex);
    const std::string k(key);
    if (auto it = shard.young.entries.find(k); it != shard.young.entries.end()) {
        return it->second;
    }
    if (auto it = shard.old.entries.find(k); it != shard.old.entries.end()) {
        std::string value = it->second;
        put_locked(shard, k, value);
        return value;
    }
    return std::nullopt;
}

void BoundedCache::put(const std::string& key, const std::string& value) {
    Shard& shard = shards_[std::hash<std::string_view>{}(key) % kShards];
    std::lock_guard lock(shard.mutex);
    put_locked(shard, key, value);
}

void BoundedCache::put_locked(Shard& shard, const std::string& key, const std::string& value) {
    const std::size_t cost = key.size() + value.size() + kEntryOverhead;
    if (cost > shard_budget_) return;
    if (shard.young.bytes + cost > shard_budget_) {
        shard.old = std::move(shard.young);
        shard.young = Generation{};
    }
    auto [it, inserted] = shard.young.entries.try_emplace(key, value);
    if (inserted) {
        shard.young.bytes += cost;
    } else {
        it->second = value;
    }
}

}  // namespace zolt::gateway
