"""The module's classes as a Python module's own: each method binds its arguments as a def does and looks like
one to Python's tools, lives as long as anything can call it, and every import makes a module of its own."""
import ast
import inspect
import os
import pickle
import pydoc

import pytest

SIGNATURES = {
    "DekoConnection": {
        "__init__": "(self, controller, terminal)", "makerequest": "(self, request, **options)", "login": "(self)",
        "history": "(self)", "tarik_produk": "(self, nomors)",
        "get_previous_transaksi": "(self, transaksi, transaksi_db)",
        "get_transaksi_history": "(self, transaksi, tujuan, transaksitime, harga=None, counter=0)",
        "cek_saldo": "(self, check_login=False)", "get_produk": "(self, kategori)", "get_terbaik": "(self, msisdn)",
        "get_produk_terbaik": "(self, msisdn, offerid)", "cek": "(self, transaksi, console=True)",
        "transaksi": "(self, transaksi, counter=0)", "menu_cek": "(self, transaksi, counter=0)",
        "get_connection_thread": "(self)"},
    "DekoConnectonThread": {"__init__": "(self, conn, func, *args, parent=None, **kwargs)", "run": "(self)"},
    "WaitTransaksiHistoryThread": {
        "__init__": "(self, conn, request, transaksi, transaksitime, harga, parent=None)", "run": "(self)"}}


@pytest.mark.parametrize("cls", list(SIGNATURES))
def test_every_method_shows_its_parameters(mod, cls):
    """inspect.signature and help() see each method's own parameters, in the class's own order."""
    own = [name for name, value in vars(getattr(mod, cls)).items() if callable(value) and name != "request_finished"]
    assert own == list(SIGNATURES[cls]) and all(getattr(mod, cls).__dict__[name].__name__ == name for name in own)
    assert {name: str(inspect.signature(getattr(getattr(mod, cls), name))) for name in own} == SIGNATURES[cls]
    # The class's own methods, as a def in its body would be, on the class and bound to an instance.
    bound = mod.DekoConnection(None, None).login if cls == "DekoConnection" else getattr(mod, cls).run
    for method in [getattr(getattr(mod, cls), name) for name in own] + [bound]:
        assert method.__qualname__ == cls + "." + method.__name__ and method.__module__ == mod.__name__
    # Pickled by reference, as a def is (hosts pickle callables for queues and retries).
    assert all(pickle.loads(pickle.dumps(getattr(getattr(mod, cls), name), protocol)) is getattr(mod, cls).__dict__[
        name] for name in own for protocol in range(pickle.HIGHEST_PROTOCOL + 1))
    shown = pydoc.render_doc(getattr(mod, cls), renderer=pydoc.plaintext)
    assert "PyCapsule" not in shown and " from builtins" not in shown and "\n |  __init__" + SIGNATURES[cls][
        "__init__"] + "\n" in shown


def twin(cls):
    """A class of the same name whose defs take the same parameters: Python's own wording of each mistake."""
    defs = {}
    for name, parameters in SIGNATURES[cls].items():
        exec("def %s%s: pass" % (name, parameters), defs)
        defs[name].__qualname__ = "%s.%s" % (cls, name)
    return type(cls, (), {name: defs[name] for name in SIGNATURES[cls]})


@pytest.mark.parametrize("call", [
    lambda c, r: c.makerequest(), lambda c, r: c.makerequest(r, request=r), lambda c, r: c.makerequest(r, 1),
    lambda c, r: type(c).makerequest(c, r, self=c), lambda c, r: type(c).transaksi(), lambda c, r: c.cek(r, 3, 4),
    lambda c, r: c.cek(r, konsol=3), lambda c, r: c.cek(r, **{b"console": 3}), lambda c, r: c.get_produk_terbaik(),
])
def test_methods_bind_their_arguments_as_python_does(conn, provider, terminal, call):
    """Each mistake raises the TypeError that a def with the same parameters raises, worded as the running
    interpreter words it (from 3.10 on with the class's name), before anything is sent or shown."""
    errors = []
    for instance in (conn, object.__new__(twin("DekoConnection"))):
        with pytest.raises(TypeError) as raised:
            call(instance, provider.module().Balance)
        errors.append(str(raised.value))
    assert errors[0] == errors[1] and provider.sent == [] and terminal.lines == []


def test_kept_methods_outlive_their_class_attribute_and_keys_must_be_text(child):
    """A def's code lives as long as anything refers to it: a kept partial, bound method or slot runs the original
    method after the class attribute is replaced or deleted, even while the method runs. A ** mapping's keys that
    are no text are refused as Python refuses them (3.7 hands them to the method unchecked)."""
    out = child("""
        import functools
        provider.default("Balance", dict(OK, balance=5))
        kept = [functools.partial(conn.cek_saldo), conn.cek_saldo, mod.DekoConnection.cek_saldo.__get__(conn)]
        terminal.console = lambda text, level: setattr(mod.DekoConnection, "cek_saldo", print)
        print(mod.DekoConnection.cek_saldo(conn))  # replaced while it runs
        del mod.DekoConnection.cek_saldo
        junk = [bytearray(64) for _ in range(10000)]  # takes what was freed
        print([call() for call in kept])
        for call in (lambda: conn.cek(Record(), **{b"transaksi": 1}), lambda: conn.cek(Record(), **{1: True}),
                     lambda: conn.makerequest(mod.dekorequest.Balance, **{b"auth": 1}),
                     lambda: mod.DekoConnectonThread(conn, "cek_saldo", **{b"x": 1})):
            try:
                print(call())
            except TypeError as error:
                print(str(error).endswith("keywords must be strings"))""")
    assert out == "5\n[5, 5, 5]\n" + "True\n" * 4


def test_every_import_is_a_module_of_its_own(child):
    """A second import name, an import after the module was deleted from sys.modules, and importlib.reload: each
    gives a module whose classes and methods work on its own globals; the first keeps working on its own."""
    out = child("""
        import importlib
        def balance(module, value):
            fake = FakeProvider().default("Balance", dict(OK, balance=value))
            module.dekorequest = fake.module()
            return fake
        first = balance(mod, 1)
        from libs.connections import dekoconnection as second  # apps/deko is on the host's path too
        balance(second, 2)
        del sys.modules[mod.__name__]
        third = importlib.import_module(mod.__name__)
        balance(third, 3)
        modules = (mod, second, third)
        for m in modules:
            c = m.DekoConnection(None, terminal)
            worker = m.DekoConnectonThread(c, "cek_saldo")
            print(m.__name__, c.cek_saldo(True), c.get_connection_thread() is m.DekoConnectonThread,
                  type(worker).__module__ == c.login.__module__ == m.__name__)
        third.sleep, old = None, third.DekoConnection
        importlib.reload(third)  # binds the globals anew (the request models too) and makes the classes again
        rebound = third.sleep is time.sleep and third.dekorequest is not mod.dekorequest
        balance(third, 4)
        print(rebound, third.DekoConnection is not old, old(None, terminal).cek_saldo(True),
              third.DekoConnection(None, terminal).cek_saldo(True), conn.cek_saldo(True), first.count("Balance"))""")
    assert out == ("apps.deko.libs.connections.dekoconnection 1 True True\n"
                   "libs.connections.dekoconnection 2 True True\n"
                   "apps.deko.libs.connections.dekoconnection 3 True True\n"
                   "True True 4 4 1 2\n")


def test_the_stub_states_each_method_as_the_module_does(mod):
    """The stub's classes and methods are the module's, each with the module's parameters (names, kinds and
    defaults, in order), and their docstrings are the module's alone (written once, in the method's row)."""
    from conftest import ROOT
    stub = ast.parse(open(os.path.join(ROOT, "apps/deko/libs/connections/dekoconnection.pyi")).read())
    kinds = {"args": inspect.Parameter.POSITIONAL_OR_KEYWORD, "vararg": inspect.Parameter.VAR_POSITIONAL,
             "kwonlyargs": inspect.Parameter.KEYWORD_ONLY, "kwarg": inspect.Parameter.VAR_KEYWORD}

    def stated(function):
        a, found = function.args, []
        defaults = [None] * (len(a.args) - len(a.defaults)) + list(a.defaults)
        found += [(p.arg, kinds["args"], d) for p, d in zip(a.args, defaults)]
        found += [(a.vararg.arg, kinds["vararg"], None)] if a.vararg else []
        found += [(p.arg, kinds["kwonlyargs"], d) for p, d in zip(a.kwonlyargs, a.kw_defaults)]
        found += [(a.kwarg.arg, kinds["kwarg"], None)] if a.kwarg else []
        return [(name, kind, inspect.Parameter.empty if d is None else ast.literal_eval(d)) for name, kind, d in found]
    classes = [c for c in stub.body if isinstance(c, ast.ClassDef)]
    assert [c.name for c in classes] == list(SIGNATURES)
    for cls in classes:
        methods = [f for f in cls.body if isinstance(f, ast.FunctionDef)]
        assert [f.name for f in methods] == list(SIGNATURES[cls.name]) and ast.get_docstring(cls) is None
        for f in methods:
            method = getattr(getattr(mod, cls.name), f.name)
            own = [(p.name, p.kind, p.default) for p in inspect.signature(method).parameters.values()]
            assert stated(f) == own and ast.get_docstring(f) is None and method.__doc__.strip(), (cls.name, f.name)
