#include "batch/engine_impl.hpp"
#include "core/services.hpp"
#include "core/web_fetch.hpp"

namespace zolt {

void convert_row(Engine& engine, std::int32_t row_number) {
    DataList& list = engine.window().data_list();
    const int row = row_number - 1;
    const Text source = list.read_cell(row, kColumnSource);
    // Copied once: a service picked while this request runs applies to later rows only.
    const Text prefix = request_prefix();
    // The address goes in raw, unescaped: the gateway takes everything after the prefix.
    const Text answer = web_fetch(prefix + source);
    list.write_cell(row, kColumnResult, answer);
    list.write_cell(row, kColumnStatus, status_done());
    engine.state().active_workers.fetch_sub(1);
}

}  // namespace zolt
