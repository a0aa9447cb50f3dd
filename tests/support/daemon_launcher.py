"""How a test script starts the daemon: the Linux build as it is, or the Windows build under
Wine (--wine LOADER --wine-prefix PREFIX), whose TEMP and roaming AppData folders the prefix's
registry takes from QM_TEMP and QM_APPDATA (tests/support/wine-prefix.sh)."""

import os


def add_arguments(parser):
    parser.add_argument("--wine", help="Wine loader: the daemon given is the Windows build")
    parser.add_argument("--wine-prefix", help="Wine prefix whose server is kept up for the run")


class Launcher:
    def __init__(self, wine=None, prefix=None):
        if wine and not prefix:
            raise ValueError("--wine needs --wine-prefix")
        self.wine = wine
        self.prefix = prefix

    @classmethod
    def from_args(cls, args):
        return cls(args.wine, args.wine_prefix)

    @property
    def windows(self):
        return self.wine is not None

    def command(self, daemon, *args):
        """The command line that starts the daemon with these arguments."""
        daemon = os.path.abspath(daemon)
        return ([self.wine, daemon] if self.windows else [daemon]) + list(args)

    def environment(self, base, tmp, config):
        """base with the daemon's temporary and configuration folders set to tmp and config."""
        env = dict(base)
        env.pop("QUILLMARK_VERBOSE_LOGGING", None)
        if self.windows:
            env["QM_TEMP"] = self.daemon_path(tmp)
            env["QM_APPDATA"] = self.daemon_path(config)
            env["WINEPREFIX"] = self.prefix
            # Wine finds the prefix's server below the TMPDIR it was started with.
            env["TMPDIR"] = os.path.dirname(os.path.abspath(self.prefix))
            env.setdefault("WINEDEBUG", "-all")
        else:
            env["TMPDIR"] = str(tmp)
            env["XDG_CONFIG_HOME"] = str(config)
        return env

    def daemon_path(self, path):
        """An absolute path as the daemon names it ("Z:\\..." under Wine)."""
        path = os.path.abspath(str(path))
        return "Z:" + path.replace("/", "\\") if self.windows else path
