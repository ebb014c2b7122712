"""Connection to the Deko retailer service: session, catalogue, purchases, history, threads."""
import datetime as datetime
import json as json
from time import sleep as sleep
from typing import Any, Dict, List, Optional, Sequence, Tuple, Type

import urllib3 as urllib3
from PySide2.QtCore import QObject
from PySide2.QtCore import QThread as QThread
from PySide2.QtCore import Signal as Signal

# The host's modules, bound at import time under these names.
from apps.deko.constants import transaksi as TRANSAKSI_TYPES
from apps.deko.constants.transaksi import DEFAULT_PRODUKS as DEFAULT_PRODUKS
from apps.deko.constants.transaksi import TIPE_CUAN as TIPE_CUAN
from apps.deko.libs.connections.commonconnection import CommonConnection as CommonConnection
from apps.deko.libs.databases.sqlite import SqliteTransaksi as SqliteTransaksi
from apps.deko.libs.utils.generator import uuidGenerator as uuidGenerator
from apps.deko.libs.utils.tools import get_brand as get_brand
from apps.deko.libs.utils.tools import get_shortcode as get_shortcode
from apps.deko.libs.utils.tools import normalizemsisdn as normalizemsisdn
from apps.deko.libs.utils.tools import parse_bayar as parse_bayar
from apps.deko.libs.utils.tools import remove_html_tags as remove_html_tags
from apps.deko.models import requests as dekorequest
from apps.deko.models.objects.inquery import InqueryDetail as InqueryDetail
from apps.deko.models.objects.response import DekoResponse as DekoResponse
from models.objects.response import FuncResponse as FuncResponse

__version__: str = "1.0.0"

class DekoConnection(object):
    """Connection to the Deko retailer service for one terminal."""
    controller: Any
    terminal: Any
    session: None
    commonconnection: Any
    http: Any
    def __init__(self, controller: Any, terminal: Any) -> None:
        """Keep the controller and terminal; build the HTTP pool."""
    def makerequest(self, request: type, **options: Any) -> Optional[Any]:
        """Send a request class with the terminal's token; none when no answer came."""
    def login(self) -> Optional[Any]:
        """Log in with the retailer's number and an OTP."""
    def history(self) -> Optional[Sequence[Dict[str, Any]]]:
        """The provider's transaction history, or none."""
    def tarik_produk(self, nomors: str) -> Any:
        """Pull the catalogue and the best offers for the numbers into records."""
    def get_previous_transaksi(self, transaksi: Any, transaksi_db: Dict[str, Any]) -> Optional[Any]:
        """Find an earlier purchase of the same package for a stored transaction."""
    def get_transaksi_history(self, transaksi: Any, tujuan: Any, transaksitime: Any,
                              harga: Any = None, counter: int = 0) -> Optional[Any]:
        """Settle a purchase from the provider's history (up to six passes)."""
    def cek_saldo(self, check_login: bool = False) -> Any:
        """Check the deposit balance (or announce a login)."""
    def get_produk(self, kategori: Any) -> Any:
        """The products of one category, by type."""
    def get_terbaik(self, msisdn: Any) -> Any:
        """The best offers for one number."""
    def get_produk_terbaik(self, msisdn: Any, offerid: Any) -> Tuple[bool, Any]:
        """One best offer of a number: (found, offer or message)."""
    def cek(self, transaksi: Any, console: bool = True) -> Any:
        """Check a record's product and price; fills its inquiry detail."""
    def transaksi(self, transaksi: Any, counter: int = 0) -> Optional[Any]:
        """Send a record's purchase and settle it from the history."""
    def menu_cek(self, transaksi: Any, counter: int = 0) -> Any:
        """Run the KPK or SPV check menu for a record."""
    def get_connection_thread(self) -> Type["DekoConnectonThread"]:
        """The worker-thread class of this connection type."""

class DekoConnectonThread(QThread):
    """Qt worker thread that runs one connection operation."""
    request_finished: Signal
    conn: Any
    func: str
    args: Tuple[Any, ...]
    kwargs: Dict[str, Any]
    def __init__(self, conn: Any, func: str, *args: Any, parent: Optional[QObject] = None,
                 **kwargs: Any) -> None:
        """Keep the connection, the operation's name and its arguments."""
    def run(self) -> None:
        """Run the operation, emit its result, then run the event loop until quit."""

class WaitTransaksiHistoryThread(QThread):
    """Qt worker thread that settles a purchase from the history and replies to the terminal."""
    request_finished: Signal
    conn: Any
    request: Any
    transaksi: Any
    transaksitime: Any
    harga: Any
    def __init__(self, conn: Any, request: Any, transaksi: Any, transaksitime: Any, harga: Any,
                 parent: Optional[QObject] = None) -> None:
        """Keep the connection, the purchase request, the record, its time and price."""
    def run(self) -> None:
        """Settle the record from the history and send the reply to the terminal."""
