from korvane.cli import main

raise SystemExit(main())
