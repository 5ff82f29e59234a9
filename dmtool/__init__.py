"""dmtool: find, inspect, configure and watch Damiao motors from the shell.

Each subcommand lives in the module of its name (``dmtool scan`` in
``dmtool/scan.py``, ``set-id`` in ``set_id.py``); ``cli.py`` parses the
command line and turns failures into exit statuses.
"""
