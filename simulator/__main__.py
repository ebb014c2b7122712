"""The simulated Deko retailer service on 127.0.0.1, for the demo (--provider URL) and for exploring.

  /usr/bin/python3 -m simulator --port 18765 --token-lifetime 5 --drop-rate 0.05 --delay-rate 0.1
  bash scripts/demo.sh --provider http://127.0.0.1:18765

Random faults hit provider requests with the rates given (each a share of requests from 0 to 1,
together at most 1; at most one fault a request); a purchase is hit before or after the provider
carries it out. With them the gateway's console shows its re-logins ("Login Habis. Mencoba Login
Kembali..." when a session token expires), retries of purchases that got no answer, and purchases
settled from the history ("Belum menemukan transaksi di history..." until it shows them).
While it runs, POST /_sim/fault, /_sim/expire and /_sim/clear add or remove faults one by one.

It prints the address it serves on its first line; Ctrl-C or SIGTERM stops it.
"""
import argparse
import errno
import signal
import sys
import time

from simulator.provider import ProviderSimulator


def rate(text):
    value = float(text)
    if not 0.0 <= value <= 1.0:
        raise argparse.ArgumentTypeError("%s is not a rate between 0 and 1" % text)
    return value


def port(text):
    value = int(text)
    if not 0 <= value <= 65535:
        raise argparse.ArgumentTypeError("%s is not a port number (0 to 65535)" % text)
    return value


def main(argv=None):
    parser = argparse.ArgumentParser(prog="python3 -m simulator", description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--port", type=port, default=18765,
                        help="port on 127.0.0.1 (default: 18765; 0 picks a free one)")
    parser.add_argument("--history-delay", type=float, default=0.0, metavar="SECONDS",
                        help="seconds before an accepted purchase shows in the history (default: 0)")
    parser.add_argument("--token-lifetime", type=float, default=3600.0, metavar="SECONDS",
                        help="seconds a session token lives; then requests meet an expired session "
                             "and the gateway logs in again (default: 3600)")
    faults = parser.add_argument_group("random faults")
    faults.add_argument("--drop-rate", type=rate, default=0.0, metavar="RATE",
                        help="share of requests whose connection closes without an answer")
    faults.add_argument("--http500-rate", type=rate, default=0.0, metavar="RATE",
                        help="share of requests answered HTTP 503 with an error body")
    faults.add_argument("--refuse-rate", type=rate, default=0.0, metavar="RATE",
                        help='share of requests the provider refuses ("Gangguan acak")')
    faults.add_argument("--delay-rate", type=rate, default=0.0, metavar="RATE",
                        help="share of requests answered only after --delay seconds")
    faults.add_argument("--delay", type=float, default=0.5, metavar="SECONDS",
                        help="the wait of a delayed request (default: 0.5; the gateway gives up "
                             "after DEKO_PROVIDER_TIMEOUT, 10 s by default)")
    faults.add_argument("--seed", type=int, default=None, help="seed of the fault draws, for repeatable runs")
    parser.add_argument("--large-catalogue", type=int, default=None, metavar="N",
                        help="serve a catalogue of about N products")
    parser.add_argument("--numeric-batch-rate", type=rate, default=0.0, metavar="RATE",
                        help="share of purchases whose batch id is a whole number (a JSON number), not a text")
    parser.add_argument("--pin", default="1234", help="the retailer's purchase PIN (default: 1234)")
    parser.add_argument("--balance", type=int, default=5000000, help="opening deposit balance (default: 5000000)")
    args = parser.parse_args(argv)
    rates = {"drop": args.drop_rate, "http500": args.http500_rate, "refuse": args.refuse_rate,
             "delay": args.delay_rate}
    sim = ProviderSimulator(port=args.port, token_lifetime=args.token_lifetime,
                            history_delay=args.history_delay, catalogue_size=args.large_catalogue,
                            pin=args.pin, balance=args.balance, numeric_batch_rate=args.numeric_batch_rate)
    if any(rates.values()):
        try:
            sim.random_faults(rates=rates, seed=args.seed, delay=args.delay)
        except ValueError as error:  # rates that add up to more than 1
            parser.error(str(error))
    try:
        sim.start()
    except OSError as error:
        if error.errno == errno.EADDRINUSE:
            print("simulator: port %d is already in use; choose another with --port (0 picks a free one)"
                  % args.port, file=sys.stderr)
        else:
            print("simulator: cannot serve on 127.0.0.1:%d: %s" % (args.port, error.strerror or error),
                  file=sys.stderr)
        return 2
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
    print(sim.url, flush=True)
    shown = ", ".join("%s %g" % (kind, share) for kind, share in rates.items() if share)
    print("simulator: serving the Deko provider at %s; %s; Ctrl-C stops it"
          % (sim.url, "random faults: " + shown if shown else "no random faults"), file=sys.stderr, flush=True)
    try:
        while True:
            time.sleep(3600)
    except KeyboardInterrupt:
        pass
    finally:
        sim.stop()
    return 0


if __name__ == "__main__":
    sys.exit(main())
