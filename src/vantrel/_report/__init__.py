"""Presentation: numbers as text, charts, the notebook displays and the tear sheet.

Nothing here runs a backtest; it reads the results it is given.
"""
