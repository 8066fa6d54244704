from korvane.cli import console

console()
