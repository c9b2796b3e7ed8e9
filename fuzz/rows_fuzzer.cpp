// libFuzzer target: the Arrow column builder of the Parquet output, fed lines of any bytes.
// Each line is appended or refused; the rows taken at the end must be a valid Arrow layout.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <stdexcept>
#include <string_view>

#include "arrow_columns.hpp"
#include "arrow_support.hpp"

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
    rows.release(&rows);
    return 0;
}
