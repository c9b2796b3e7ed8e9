"""The Dask expression behind ``vorandix.dask.scan``: from_map's, made cheaper to send.

Dask's expression classes are not public API. Importing this module fails with ImportError
when they are missing or take other parameters, and ``vorandix.dask`` then falls back to
``dask.dataframe.from_map``, which gives the same frame at a higher cost per compute.
"""

from __future__ import annotations

from dask.dataframe.dask_expr.io import FromMap

# The parameters scan() names; a FromMap without them is not the one this was written for.
PARAMETERS = ("func", "iterables", "args", "kwargs", "user_meta", "enforce_metadata", "label")
if not set(PARAMETERS) <= set(FromMap._parameters):
    raise ImportError("dask's FromMap takes other parameters than vorandix.dask expects")


class DescribeFiles(FromMap):
    """from_map's expression, pickled without the values it caches.

    Every compute pickles the expression for the scheduler, and FromMap's cache holds its
    meta, an empty frame of the schema's nested Arrow types: two thirds of the pickle (31 of
    45 KB), some 4 ms to pickle and 6 ms to load and plan on the scheduler, which then never
    reads it (with enforce_metadata off a task is func, its items and kwargs). Dask's own
    Parquet reader leaves its cache out in the same way.
    """

    _pickle_functools_cache = False
