"""QAOA building blocks: Dicke and W states (`dravine`), XY mixers and initial states
(`marrowind`), the stochastic-perturbation minimiser (`jorrant`)."""
