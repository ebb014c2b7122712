"""Run the simulated Deko retailer service: python3 -m simulator --port 18765."""
import argparse
import signal
import sys
import time

from simulator.provider import ProviderSimulator


def main(argv=None):
    parser = argparse.ArgumentParser(prog="python3 -m simulator", description=__doc__)
    parser.add_argument("--port", type=int, default=18765)
    parser.add_argument("--history-delay", type=float, default=0.0,
                        help="seconds before an accepted purchase shows in the history")
    parser.add_argument("--token-lifetime", type=float, default=3600.0, help="seconds a session token lives")
    parser.add_argument("--large-catalogue", type=int, default=None, metavar="N",
                        help="serve a catalogue of about N products")
    parser.add_argument("--pin", default="1234")
    parser.add_argument("--balance", type=int, default=5000000)
    args = parser.parse_args(argv)
    sim = ProviderSimulator(port=args.port, token_lifetime=args.token_lifetime,
                            history_delay=args.history_delay, catalogue_size=args.large_catalogue,
                            pin=args.pin, balance=args.balance).start()
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
    print(sim.url, flush=True)
    try:
        while True:
            time.sleep(3600)
    except KeyboardInterrupt:
        pass
    finally:
        sim.stop()


if __name__ == "__main__":
    main()
