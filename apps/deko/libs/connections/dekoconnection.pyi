"""Connection to the Deko retailer service: session, catalogue, purchases, history, threads.

The types of what the module binds and defines. Each class's and method's docstring is the module's
own (help() and the editors that ask the module show it); the parameters here are checked against
the module's signatures by the tests."""
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
    controller: Any
    terminal: Any
    session: None
    commonconnection: Any
    http: Any
    def __init__(self, controller: Any, terminal: Any) -> None: ...
    def makerequest(self, request: type, **options: Any) -> Optional[Any]: ...
    def login(self) -> Optional[Any]: ...
    def history(self) -> Optional[Sequence[Dict[str, Any]]]: ...
    def tarik_produk(self, nomors: str) -> Any: ...
    def get_previous_transaksi(self, transaksi: Any, transaksi_db: Dict[str, Any]) -> Optional[Any]: ...
    def get_transaksi_history(self, transaksi: Any, tujuan: Any, transaksitime: Any,
                              harga: Any = None, counter: int = 0) -> Optional[Any]: ...
    def cek_saldo(self, check_login: bool = False) -> Any: ...
    def get_produk(self, kategori: Any) -> Any: ...
    def get_terbaik(self, msisdn: Any) -> Any: ...
    def get_produk_terbaik(self, msisdn: Any, offerid: Any) -> Tuple[bool, Any]: ...
    def cek(self, transaksi: Any, console: bool = True) -> Any: ...
    def transaksi(self, transaksi: Any, counter: int = 0) -> Optional[Any]: ...
    def menu_cek(self, transaksi: Any, counter: int = 0) -> Any: ...
    def get_connection_thread(self) -> Type["DekoConnectonThread"]: ...

class DekoConnectonThread(QThread):
    request_finished: Signal
    conn: Any
    func: str
    args: Tuple[Any, ...]
    kwargs: Dict[str, Any]
    def __init__(self, conn: Any, func: str, *args: Any, parent: Optional[QObject] = None,
                 **kwargs: Any) -> None: ...
    def run(self) -> None: ...

class WaitTransaksiHistoryThread(QThread):
    request_finished: Signal
    conn: Any
    request: Any
    transaksi: Any
    transaksitime: Any
    harga: Any
    def __init__(self, conn: Any, request: Any, transaksi: Any, transaksitime: Any, harga: Any,
                 parent: Optional[QObject] = None) -> None: ...
    def run(self) -> None: ...
