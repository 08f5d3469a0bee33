"""QAOA building blocks: Dicke and W states (`dravine`), XY mixers and initial states
(`marrowind`), the stochastic-perturbation minimiser (`jorrant`)."""
from .dravine import linear_w_state, prepare_dicke_state
from .jorrant import jorrant_minimize
from .marrowind import complete_xy_mixer, init_d_state, iswap, parity_partition_xy_mixer, xy_mixer

__all__ = ["prepare_dicke_state", "linear_w_state", "xy_mixer", "parity_partition_xy_mixer",
           "complete_xy_mixer", "iswap", "init_d_state", "jorrant_minimize"]
