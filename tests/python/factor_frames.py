"""A factor service written in Python: it reads a factor database into pandas frames once and answers every
query from them, in the long layout (`factor` or `factor_name` and `value`) or the wide layout (one column
named after the factor). Rows come in the SQLite service's order (factor, date, insertion), so duplicates
resolve the same way."""

import sqlite3

import pandas as pd


class PandasFrameService:
    def __init__(self, db, layout="long"):
        with sqlite3.connect(db) as con:
            self.factors = pd.read_sql_query(
                "SELECT order_book_id, date, factor, value FROM factor_values ORDER BY factor, date, rowid", con)
            self.index = pd.read_sql_query("SELECT * FROM index_daily ORDER BY rowid", con)
        self.layout = layout
        self.calls = []

    @staticmethod
    def _in_range(rows, start_date, end_date):
        if start_date is not None:
            rows = rows[rows["date"] >= start_date]
        if end_date is not None:
            rows = rows[rows["date"] <= end_date]
        return rows

    def get_factors(self, factor, start_date, end_date):
        self.calls.append(("get_factors", factor, start_date, end_date))
        names = [factor] if isinstance(factor, str) else list(factor)
        rows = self._in_range(self.factors[self.factors["factor"].isin(names)], start_date, end_date)
        if rows.empty:
            return None
        if self.layout == "factor_name":
            return rows.rename(columns={"factor": "factor_name"}).reset_index(drop=True)
        if self.layout == "wide":
            assert isinstance(factor, str), "the wide layout answers single-factor reads only"
            return rows.drop(columns="factor").rename(columns={"value": factor}).reset_index(drop=True)
        return rows.reset_index(drop=True)

    def get_index_daily(self, order_book_ids, start_date, end_date):
        self.calls.append(("get_index_daily", order_book_ids, start_date, end_date))
        def canonical(text):
            return None if text is None else text[:4] + "-" + text[4:6] + "-" + text[6:]
        rows = self._in_range(self.index[self.index["order_book_id"].isin(order_book_ids)], canonical(start_date),
                              canonical(end_date))
        return None if rows.empty else rows.reset_index(drop=True)
