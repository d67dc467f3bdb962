from ._typing import FloatSequence

__all__: list[str]

def calculate_kge(sim: FloatSequence, obs: FloatSequence, use_log: bool = False) -> float: ...
