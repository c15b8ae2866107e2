from halvex_cli.cli import entry

entry()
