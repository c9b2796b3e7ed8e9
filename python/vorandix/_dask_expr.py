"""The Dask expression behind ``vorandix.dask.scan``: from_map's, made cheaper to plan and run.

Dask's expression classes are not public API. Importing this module fails with ImportError
when they are missing or take other parameters, and ``vorandix.dask`` then falls back to
``dask.dataframe.from_map``, which gives the same frame at a higher cost per compute.
"""

from __future__ import annotations

import functools
import hashlib
import pickle
from typing import Any

import pandas as pd
import pyarrow as pa
from dask.dataframe.dask_expr._expr import ResetIndex
from dask.dataframe.dask_expr.io import FromMap
from dask.dataframe.dispatch import make_meta
from dask.tokenize import tokenize

# The parameters scan() names; a FromMap without them is not the one this was written for.
PARAMETERS = ("func", "iterables", "args", "kwargs", "user_meta", "enforce_metadata", "label")
if not set(PARAMETERS) <= set(FromMap._parameters):
    raise ImportError("dask's FromMap takes other parameters than vorandix.dask expects")
if not {"drop", "name"} <= set(ResetIndex._parameters):
    raise ImportError("dask's ResetIndex takes other parameters than vorandix.dask expects")


class Columns:
    """The columns of ``vorandix.schema()``, as the expression's ``user_meta``.

    The scheduler unpickles the expression on every compute, and the columns as (name,
    ArrowDtype) pairs of these nested types cost 0.6 ms to pickle and as much to load, on
    the way to the first task. Every scan has the same columns, so the expression holds this
    one object instead, pickled as a reference to it.
    """

    def __reduce__(self) -> str:
        return "COLUMNS"

    def __repr__(self) -> str:
        return "vorandix.schema()"

    def __dask_tokenize__(self) -> str:
        return "vorandix.schema()"


COLUMNS = Columns()


@functools.lru_cache(maxsize=1)
def _empty_frame() -> Any:
    from vorandix.arrow import schema

    frame = make_meta([(field.name, pd.ArrowDtype(field.type)) for field in schema()])
    # Each column over no chunk at all rather than one empty chunk. Persisting the frame
    # tokenizes its meta on the client, right while the scheduler in the same process hands
    # out the tasks: Dask hashes every buffer of every chunk, some 270 buffers for these nested
    # types, and with no chunk that costs 2 ms instead of 6.5.
    for name in frame.columns:
        empty = pa.chunked_array([], type=frame[name].dtype.pyarrow_dtype)
        frame[name] = pd.arrays.ArrowExtensionArray(empty)
    return frame


class DescribeFiles(FromMap):
    """from_map's expression, pickled without the values it caches.

    Every compute pickles the expression for the scheduler, and FromMap's cache holds its
    meta, an empty frame of the schema's nested Arrow types: two thirds of the pickle (31 of
    45 KB), some 4 ms to pickle and 6 ms to load and plan on the scheduler, which then never
    reads it (with enforce_metadata off a task is func, its items and kwargs). Dask's own
    Parquet reader leaves its cache out in the same way.
    """

    _pickle_functools_cache = False

    @functools.cached_property
    def _meta(self) -> Any:
        # Building the empty frame takes some 8 ms (an empty Arrow array per column) and every
        # scan() needs one; they all have the same columns, so it is built once. Each frame
        # gets a shallow copy of its own, so that no change to one reaches the others.
        return _empty_frame().copy(deep=False)

    def __dask_tokenize__(self) -> str:
        if not self._determ_token:
            # Dask's own token walks every item of every partition: some 1.5 ms for 200 files,
            # growing with the collection, paid again by each expression that optimizing
            # builds. The items are tuples of str and bytes, which a digest of their pickle
            # names as surely.
            operands = dict(zip(self._parameters, self.operands))
            items = pickle.dumps(operands.pop("iterables"), protocol=5)
            self._determ_token = tokenize(
                type(self),
                hashlib.sha1(items, usedforsecurity=False).hexdigest(),
                *operands.values(),
                ensure_deterministic=True,
            )
        return self._determ_token

    def _simplify_up(self, parent: Any, dependents: Any) -> Any:
        # A partition is a frame built afresh, indexed 0, 1, 2, ... as is the empty frame
        # above: reset_index(drop=True) would give it back unchanged. to_parquet(write_index=
        # False) asks for that step, and the graph it computes is not fused, so it would cost
        # a task per partition, each a round trip through the scheduler.
        if isinstance(parent, ResetIndex) and parent.operand("drop") is True:
            if parent.operand("name") is ResetIndex._defaults["name"]:
                return self
        return super()._simplify_up(parent, dependents)
