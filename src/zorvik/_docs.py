"""Where the documentation explains a failure: the errors a user would want
more than one line about carry a note (PEP 678, shown under the traceback)
with the link to the section that explains it. The message itself stays as
it is, so callers that match on it are not affected.

The site is the one `python3 scripts/dev.py docs` builds from docs/,
published at BASE (pyproject.toml's Documentation URL says the same; the
tests check both, and that every section named here exists in the site).
"""

BASE = "https://zorvik.readthedocs.io/en/latest/"

# topic -> the built page and the section's anchor (Sphinx's id of its heading).
SECTIONS = {
    "full": "crashes.html#a-full-file-or-a-full-file-system",
    "lock": "crashes.html#locks-that-name-no-process-and-damaged-files",
    "repair": "operating.html#repair",
    "trust": "security.html#pickle-runs-code-from-whoever-can-write-the-file",
}


def link(topic):
    """The URL of the section that explains `topic` (a key of SECTIONS)."""
    return BASE + SECTIONS[topic]


def note(exception, topic):
    """Adds the link for `topic` to `exception`'s notes (once) and returns it."""
    text = f"See {link(topic)}"
    if text not in getattr(exception, "__notes__", ()):
        exception.add_note(text)
    return exception
