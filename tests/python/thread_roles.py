"""Running test bodies in threads released together."""
import threading


def run_roles(*roles):
    """Runs each callable in its own thread, all released at once; re-raises the first error."""
    barrier = threading.Barrier(len(roles))
    errors = []

    def body(role):
        try:
            barrier.wait()
            role()
        except BaseException as error:  # surfaced in the calling thread below
            errors.append(error)

    threads = [threading.Thread(target=body, args=(role,)) for role in roles]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    if errors:
        raise errors[0]
