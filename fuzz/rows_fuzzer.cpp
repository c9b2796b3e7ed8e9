// libFuzzer target: the Arrow column builder of the Parquet output, fed lines of any bytes.
// Each line is appended or refused; the rows taken at the end must be a valid Arrow layout,
// which the Parquet encoder then encodes, in pages small enough to split every column.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <stdexcept>
#include <string_view>

#include "arrow_columns.hpp"
#include "arrow_support.hpp"
#include "parquet_encoder.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace vorandix;
    static const testing::OwnedSchema schema(testing::test_table());
    py::ArrowColumns columns(schema.root());
    std::string_view rest(reinterpret_cast<const char*>(data), size);
    std::int64_t accepted = 0;
    while (!rest.empty()) {
        const std::size_t end = rest.find('\n');
        const std::string_view line = rest.substr(0, end);
        rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
        try {
            columns.append(line);
            ++accepted;
        } catch (const py::RowError&) {
        }
    }
    ArrowArray rows{};
    columns.take(&rows);
    try {
        testing::check_exported(rows, testing::test_table());
    } catch (const std::logic_error&) {
        std::abort();
    }
    if (rows.length != accepted) std::abort();
    static const testing::OwnedSchema nullable(testing::test_table(), ARROW_FLAG_NULLABLE);
    py::ParquetEncoder encoder(
        nullable.root(),
        {"fuzz", {}, {"path", "error.kind", "sec.n", "sec.i", "sec.f", "sec.s"}, 64});
    std::string parquet;
    encoder.row_group(rows, parquet);
    encoder.row_group(rows, parquet);
    if (encoder.footer().size() < 8) std::abort();
    rows.release(&rows);
    return 0;
}
