"""The notices of one estimation."""


def note(text, verb, msg):
    """Record `text` in `msg`, the run's message list (returned as `result.msg`), and
    print it when the run is verbose (`verb` > 0)."""
    msg.append(text)
    if verb > 0:
        print(text)
