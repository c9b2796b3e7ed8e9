// The Rows type of vorandix._batch: records built into Arrow columns (see arrow_columns.hpp).
#pragma once

#include <Python.h>

namespace vorandix::py {

extern PyType_Spec rows_spec;
// The ParquetEncoder type (parquet_type.cpp).
extern PyType_Spec parquet_encoder_spec;

}  // namespace vorandix::py
