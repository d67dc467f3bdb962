"""One plain-Python model of each area, written from the documented
arithmetic in its evaluation order and independent of the C++ sources.

The property tests, the differential checks and the benchmarks' agreement
checks compare basinkit with these models (pytest finds the package through
`pythonpath` in pyproject.toml; scripts run from the repository root). A
`bug` argument, where a model has one, names a deliberate fault: the
property tests use it to show that each property can fail.

    arith       units, max_num, min_num, durations, table and series lookups
    loss        deficit and constant loss
    curve_number  NRCS curve-number loss
    initial_constant  initial and constant loss
    green_ampt  Green-Ampt loss, ponding inside a step
    clark       Clark unit hydrograph and its convolution
    unit_hydrograph  NRCS, Snyder and user unit hydrographs, scaled to one unit, convolved
    baseflow    linear reservoir baseflow
    recession   recession baseflow
    muskingum   Muskingum routing
    muskingum_cunge  constant-parameter Muskingum-Cunge routing
    lag         lag routing, interpolated between whole steps
    level_pool  outlets and level pool routing
    storage_indication  storage-indication routing, bisected step by step
    kge         Kling-Gupta efficiency
    outputs     codec and replay of tests/data/reference_outputs.json
    make_outputs  writes that file (python -m reference.make_outputs)
"""
