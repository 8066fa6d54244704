"""The subcommands of the korvane command, one module each (see korvane.cli)."""
