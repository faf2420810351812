#!/usr/bin/env python3
"""Brevel Uninstall under Wine, not answered "Yes": pressing Enter (the question's default
button must be "No") and pressing N both end the program with nothing removed."""
import adapter_prefix as ap
import wine_session


def test(session):
    args = test.args
    machine = ap.AdapterPrefix(session, args.helpers)
    machine.install_adapter()
    devices_before = machine.devices()

    for key in ("Return", "n"):
        code, shown = session.run_gui(args.uninstaller, lambda caption, text: key)
        assert code == 0, f"exit code {code} after {key}"
        assert shown == [ap.CONFIRM], f"after {key}: {shown}"
        assert machine.devices() == devices_before, f"a device went after {key}"
        for kept in (ap.DRIVER, ap.INF, ap.PNF):
            assert machine.has_file(kept), f"{kept} was deleted after {key}"
        assert machine.class_subkey_exists("0001")


if __name__ == "__main__":
    test.args = ap.arguments()
    wine_session.main(test)
