"""The tear sheet: its tables (``analysis``) and its page (``page``)."""
