"""Adapters of the vexlor_go engine to reinforcement-learning APIs.

``vexlor_go_envs.pettingzoo``: a drop-in for PettingZoo's ``classic.go_v5`` (needs pettingzoo).
``vexlor_go_envs.gymnasium``: a Gymnasium vector environment over ``vexlor_go.GameBatch`` (needs gymnasium).
Each submodule imports its library only when imported itself.
"""
