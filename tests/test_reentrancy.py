"""Python code that runs in the middle of the module's operations: key
comparisons that empty the keyword dictionary, and an import that reads
the attribute being computed. In fresh processes: a fault here is a
crash."""

import pytest

from support import run_python


@pytest.mark.parametrize(
    "key, expected",
    [
        # Found only by walking the keys: key and value must be held while compared.
        ("OtherHash", "1000001 0"),
        ("Unrelated", "TypeError probe_intake() got an unexpected keyword argument 'zz' 0"),
        # Compared inside the lookup by hash, which then finds nothing: no key
        # is left to supply the parameter or to name in a message.
        pytest.param("SameHash",
                     "TypeError probe_intake() takes exactly 1 positional argument (0 given) 0"),
    ],
    ids=["OtherHash", "Unrelated", "SameHash"],
)
def test_key_comparison_that_empties_the_keywords(probe_dir, key, expected):
    proc = run_python(
        f"""
        import _morvex_probe as probe

        class Clears(str):
            def __eq__(self, other):
                kwargs.clear()
                reuse.append(int("7777777"))  # takes the memory of a value freed just now
                return str.__eq__(self, other)
            __hash__ = str.__hash__

        class SameHash(Clears):
            pass

        class OtherHash(Clears):
            def __hash__(self):
                return str.__hash__(self) ^ 1

        class Unrelated(OtherHash):
            pass

        reuse, text = [], "loop" if {key} is not Unrelated else "zz"
        kwargs = {{{key}(text): int("1000001")}}  # the dictionary holds the only reference
        try:
            result = probe.intake((), kwdict=kwargs)
        except TypeError as e:
            result = f"TypeError {{e}}"
        print(result, len(kwargs))
        """,
        pythonpath=[probe_dir],
        check=False,
    )
    assert (proc.returncode, proc.stdout.strip()) == (0, expected)


def test_coroutine_marker_read_again_while_it_is_imported(probe_dir):
    """The import runs Python code that reads the marker first: the value
    stored by that inner read is the one both reads return, and the outer
    read's own value is released."""
    proc = run_python(
        """
        import sys, types, _morvex_probe as probe

        markers = []

        class Coroutines(types.ModuleType):
            def __getattr__(self, name):  # asked by the import for the from-list
                marker = object()
                markers.append(marker)
                if len(markers) == 1:
                    inner.append(f._is_coroutine)
                vars(self)[name] = marker
                return marker

        module = Coroutines("asyncio.coroutines")
        module.__path__ = []
        sys.modules["asyncio.coroutines"] = module
        inner = []
        f = probe.make_function("fastcall", flags=0x08)
        outer = f._is_coroutine
        print(len(markers), inner[0] is markers[1], outer is markers[1], f._is_coroutine is outer)
        # The outer read's value lost: only the list, the module's dictionary
        # and the call's argument refer to it.
        print(sys.getrefcount(markers[0]))
        """,
        pythonpath=[probe_dir],
    )
    assert proc.stdout.split() == ["2", "True", "True", "True", "3"]
