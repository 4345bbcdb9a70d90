"""One trade's excursion statistics from the plain-Python reference session,
called with the price matrices and settings directly."""

from reference.excursion import ExcursionSession, exvalo_analysis


def excursion_statistics(trade, close, pc, entry_bar, exit_bar, is_long, full_entry, full_exit, fee, tax, window, step):
    session = ExcursionSession()
    session.trade_prices, session.close_prices = trade, close
    session.column_map = {0: pc}
    session.fee_ratio, session.tax_ratio = fee, tax
    session.window, session.window_step = window, step
    session.current_bar = exit_bar
    return exvalo_analysis(session, 0, entry_bar, exit_bar, is_long, full_entry, full_exit)
