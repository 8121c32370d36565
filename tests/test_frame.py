"""The module frame, through the probe module and the real modules."""

import builtins
import copy
import gc
import inspect
import pickle
import sys
import traceback
import types
import typing
import weakref

import pytest
from pydantic.v1 import BaseModel

import velto_ai_sdk.codetool as codetool
import velto_ai_sdk.master as master


def type_error(call):
    with pytest.raises(TypeError) as raised:
        call()
    return str(raised.value)


class TestArgumentBinding:
    @pytest.mark.parametrize(
        "call, message",
        [
            (lambda p: p.three(1, 2), "three() takes exactly 3 positional arguments (2 given)"),
            (lambda p: p.three(1, 2, 3, 4), "three() takes exactly 3 positional arguments (4 given)"),
            (lambda p: p.four(1, 2), "four() takes at least 3 positional arguments (2 given)"),
            (lambda p: p.four(1, 2, 3, 4, 5), "four() takes at most 4 positional arguments (5 given)"),
            (lambda p: p.one(), "one() takes exactly 1 positional argument (0 given)"),
            (lambda p: p.none(1), "none() takes exactly 0 positional arguments (1 given)"),
            # With keywords, the count names the first parameter found nowhere.
            (lambda p: p.three(a=1, c=3), "three() takes exactly 3 positional arguments (1 given)"),
            (lambda p: p.four(1, d=4), "four() takes at least 3 positional arguments (1 given)"),
            (lambda p: p.one(b=1), "one() takes exactly 1 positional argument (0 given)"),
            (lambda p: p.three(1, 2, 3, d=4), "three() got an unexpected keyword argument 'd'"),
            (lambda p: p.three(1, 2, c=3, a=1), "three() got multiple values for keyword argument 'a'"),
            (lambda p: p.three(1, 2, 3, 4, a=1), "three() takes exactly 3 positional arguments (4 given)"),
            (lambda p: p.three(1, 2, 3, **{1: 2}), "three() keywords must be strings"),
            (lambda p: p.catch_all(1, 2), "catch_all() takes exactly 3 positional arguments (2 given)"),
            (lambda p: p.catch_all(1, 2, 3, x=2), "catch_all() got multiple values for keyword argument 'x'"),
        ],
    )
    def test_argument_errors(self, frame_probe, call, message):
        assert type_error(lambda: call(frame_probe)) == message

    @pytest.mark.parametrize(
        "call, message",
        [
            (lambda: master.initialize_env(), "initialize_env() takes exactly 1 positional argument (0 given)"),
            (lambda: codetool.ensure_virtual_environment(1), "ensure_virtual_environment() takes exactly 0 positional arguments (1 given)"),
            (lambda: codetool.execute_code(script="x"), "execute_code() takes exactly 1 positional argument (0 given)"),
            (lambda: codetool.execute_code("x", script="x"), "execute_code() got an unexpected keyword argument 'script'"),
            (lambda: master.safe_install_modules([], module_names=[]), "safe_install_modules() got multiple values for keyword argument 'module_names'"),
        ],
    )
    def test_argument_errors_of_the_modules(self, call, message):
        assert type_error(call) == message

    def test_positional_keywords_and_defaults(self, frame_probe):
        p = frame_probe
        assert p.three(1, 2, 3) == [1, 2, 3]
        assert p.three(c=3, b=2, a=1) == [1, 2, 3]
        assert p.three(1, c=3, b=2) == [1, 2, 3]
        assert p.four(1, 2, 3) == [1, 2, 3, None]
        assert p.four(1, 2, 3, d=4) == [1, 2, 3, 4]
        assert p.three(*[1, 2], **{"c": 3}) == [1, 2, 3]

    def test_catch_all_receives_a_new_dictionary_of_leftovers(self, frame_probe):
        keywords = {"y": 3, "extra": 4, "more": 5}
        bound, leftovers = frame_probe.catch_all(1, 2, **keywords)
        assert bound == [1, 2, 3]
        assert leftovers == {"extra": 4, "more": 5}
        assert list(leftovers) == ["extra", "more"]
        assert frame_probe.catch_all(1, 2, 3) == ([1, 2, 3], {})

    def test_defaults_follow_reassignment(self, frame_probe):
        four = frame_probe.four
        assert four.__defaults__ == (None,)
        try:
            four.__defaults__ = (7, 8)
            assert four(1, 2) == [1, 2, 7, 8]
            assert type_error(lambda: four(1)) == "four() takes at least 2 positional arguments (1 given)"
            four.__defaults__ = None
            assert type_error(lambda: four(1, 2, 3)) == "four() takes exactly 4 positional arguments (3 given)"
            with pytest.raises(TypeError, match="must be set to a tuple"):
                four.__defaults__ = [1]
        finally:
            four.__defaults__ = (None,)


    def test_arguments_outlive_a_callee_that_drops_their_sources(self, frame_probe):
        class Marker:
            pass

        function = frame_probe.call_then_return
        function.__defaults__ = (Marker(),)  # the tuple holds its only reference
        alive = weakref.ref(function.__defaults__[0])
        seen_during_the_call = []

        def drop_defaults():
            function.__defaults__ = (None,)
            seen_during_the_call.append(alive() is not None)

        result = function(drop_defaults)
        assert seen_during_the_call == [True]
        assert result is alive() and type(result) is Marker


class TestFunctionObjects:
    def test_attributes_like_the_interpreters_functions(self, frame_probe):
        f = frame_probe.four
        assert (type(f).__module__, type(f).__name__) == ("velto_ai_sdk", "function")
        assert (f.__name__, f.__qualname__, f.__module__) == ("four", "four", "velto_frame_probe")
        assert f.__doc__ is None and frame_probe.documented.__doc__ == "Says what it does."
        assert f.__globals__ is vars(frame_probe)
        assert f.__kwdefaults__ is None
        assert f.__annotations__ == {}
        assert repr(f).startswith("<function four at 0x")
        f.tag = "kept"
        assert f.__dict__ == {"tag": "kept"}
        del f.tag

    def test_real_module_functions(self):
        f = codetool.execute_code
        assert (f.__name__, f.__qualname__, f.__module__) == ("execute_code", "execute_code", "velto_ai_sdk.codetool")
        assert f.__globals__ is vars(codetool)
        assert f.__doc__ is None and f.__defaults__ is None

    def test_signature_and_type_hints(self, frame_probe):
        assert str(inspect.signature(frame_probe.four)) == "(a, b, c, d=None)"
        assert str(inspect.signature(frame_probe.catch_all)) == "(self, x, y, **kwargs)"
        assert str(inspect.signature(codetool.execute_code)) == "(code)"
        assert str(inspect.signature(master.initialize_env)) == "(env_path)"
        assert typing.get_type_hints(codetool.execute_code) == {}
        try:
            frame_probe.one.__annotations__ = {"a": "int", "return": "str"}
            assert str(inspect.signature(frame_probe.one)) == "(a: 'int') -> 'str'"
            assert typing.get_type_hints(frame_probe.one) == {"a": int, "return": str}
        finally:
            frame_probe.one.__annotations__ = {}

    def test_binds_as_a_method_through_an_instance(self, frame_probe):
        class Host:
            method = frame_probe.catch_all

        host = Host()
        assert Host.method is frame_probe.catch_all
        assert host.method(2, 3, flag=True) == ([host, 2, 3], {"flag": True})
        assert str(inspect.signature(host.method)) == "(x, y, **kwargs)"

    def test_copied_and_pickled_by_reference(self):
        f = codetool.execute_code
        assert copy.copy(f) is f and copy.deepcopy(f) is f
        assert pickle.loads(pickle.dumps(f)) is f

    def test_globals_are_read_at_each_call(self, frame_probe):
        namespace = {"__name__": "scratch", "__builtins__": builtins}
        lookup = frame_probe.make_function(namespace)
        assert lookup("len") is len
        namespace["len"] = "rebound"
        assert lookup("len") == "rebound"
        with pytest.raises(NameError, match="^name 'nowhere' is not defined$"):
            lookup("nowhere")

    def test_function_globals_cycle_is_collected(self, frame_probe):
        namespace = {"__name__": "scratch"}
        namespace["lookup"] = frame_probe.make_function(namespace)
        alive = weakref.ref(namespace["lookup"])
        del namespace
        gc.collect()
        assert alive() is None

    def test_failure_gains_a_traceback_entry_named_after_the_function(self, frame_probe):
        with pytest.raises(ValueError) as raised:
            frame_probe.fail(ValueError("boom"))
        names = [entry.name for entry in traceback.extract_tb(raised.value.__traceback__)]
        assert names[-1] == "velto_frame_probe.fail"
        assert names.count("velto_frame_probe.fail") == 1

    def test_real_module_traceback_entries(self, monkeypatch):
        monkeypatch.setattr(codetool, "python_executable", None)
        with pytest.raises(TypeError) as raised:
            codetool.install_dependencies(["x"])
        entries = traceback.extract_tb(raised.value.__traceback__)
        ours = [entry for entry in entries if entry.name.startswith("velto_ai_sdk.")]
        assert [entry.name for entry in ours] == ["velto_ai_sdk.codetool.install_dependencies"]
        assert ours[0].filename.endswith("velto_ai_sdk/codetool/installation.cpp")
        with pytest.raises(TypeError) as raised:
            master.initialize_env()
        assert traceback.extract_tb(raised.value.__traceback__)[-1].name == "velto_ai_sdk.master.initialize_env"


class TestImports:
    @pytest.fixture
    def target(self):
        return types.ModuleType("scratch_target")

    @pytest.fixture
    def source(self):
        module = types.ModuleType("velto_scratch_source")
        sys.modules[module.__name__] = module
        yield module
        sys.modules.pop(module.__name__, None)

    def test_star_import_without_all_skips_underscored_names(self, frame_probe, target, source):
        source.zeta, source._hidden, source.alpha = 1, 2, 3
        target.alpha = "replaced"
        frame_probe.star_import(target, source.__name__)
        public = [name for name in vars(target) if not name.startswith("__")]
        assert public == ["alpha", "zeta"]
        assert target.alpha == 3
        assert not hasattr(target, "_hidden")

    def test_star_import_with_all_takes_every_listed_name(self, frame_probe, target, source):
        source.a, source._b, source.c = 1, 2, 3
        source.__all__ = ["_b", "a"]
        frame_probe.star_import(target, source.__name__)
        assert (target._b, target.a) == (2, 1)
        assert not hasattr(target, "c")

    def test_star_import_of_an_object_without_namespace(self, frame_probe, target, monkeypatch):
        monkeypatch.setitem(sys.modules, "velto_scratch_bare", 42)
        with pytest.raises(ImportError, match="^from-import-\\* object has no __dict__ and no __all__$"):
            frame_probe.star_import(target, "velto_scratch_bare")

    def test_named_import_and_its_fallback_to_a_loaded_submodule(self, frame_probe, target, source, monkeypatch):
        source.__path__ = []
        source.value = 7
        submodule = types.ModuleType(source.__name__ + ".sub")
        monkeypatch.setitem(sys.modules, submodule.__name__, submodule)
        frame_probe.import_names(target, source.__name__, ["value", "sub"])
        assert target.value == 7 and target.sub is submodule
        with pytest.raises(ImportError, match="^cannot import name missing$"):
            frame_probe.import_names(target, source.__name__, ["missing"])

    def test_star_import_of_the_code_runner_by_master(self):
        names = [name for name in vars(master) if not name.startswith("__")]
        assert names == [
            "subprocess", "venv", "tempfile", "os", "env_path", "media_path", "python_executable",
            "initialize_environment", "ensure_virtual_environment", "install_defaults",
            "safe_install_modules", "install_dependencies", "execute_code", "initialize_env",
        ]
        assert master.execute_code is codetool.execute_code
        assert master.safe_install_modules is not codetool.safe_install_modules


class Base(BaseModel):
    value: int = 0

    def plan(self, *args, **kwargs):
        return "the base's plan"


class TestClasses:
    def test_method_of_our_type_on_a_pydantic_v1_model(self, frame_probe):
        Probe = frame_probe.make_class("Probe", (Base,))
        assert Probe.__bases__ == (Base,)
        assert (Probe.__module__, Probe.__qualname__) == ("velto_frame_probe", "Probe")
        assert "plan" not in Probe.__fields__
        assert Probe.__dict__["plan"].__qualname__ == "Probe.plan"
        instance = Probe(value=3)
        assert instance.value == 3
        assert instance.plan([1], None, input="q") == ([instance, [1], None], {"input": "q"})
        assert instance.plan(intermediate_steps=[], callbacks="c") == ([instance, [], "c"], {})

    def test_why_methods_are_set_after_the_metaclass_ran(self, frame_probe):
        # Given in the class namespace, pydantic would take it for a field.
        with pytest.raises(NameError, match="shadows a BaseModel attribute"):
            type(Base)("Probe", (Base,), {"__module__": "x", "plan": frame_probe.catch_all})

    def test_class_creation_protocol(self, frame_probe):
        seen = {}

        class Meta(type):
            @classmethod
            def __prepare__(mcls, name, bases):
                namespace = {"prepared": True}
                seen["namespace"] = namespace
                return namespace

        class WithMeta(metaclass=Meta):
            pass

        del seen["namespace"]

        class Entry:
            def __mro_entries__(self, bases):
                return (WithMeta,)

        entry = Entry()
        Made = frame_probe.make_class("Made", (entry,))
        assert type(Made) is Meta
        assert Made.__bases__ == (WithMeta,)
        assert Made.__orig_bases__ == (entry,)
        assert Made.prepared is True
        assert list(seen["namespace"])[:3] == ["prepared", "__module__", "__qualname__"]
        plain = frame_probe.make_class("Plain", (object,))
        assert "__orig_bases__" not in plain.__dict__


class TestGuardedStagesAndContexts:
    def test_guarded_stage_prints_one_line_and_swallows_ordinary_errors(self, frame_probe, capsys):
        def failing():
            raise OSError(2, "No such file or directory", "/nowhere")

        assert frame_probe.guard("Stage failed: ", failing) is False
        assert capsys.readouterr().out == "Stage failed: [Errno 2] No such file or directory: '/nowhere'\n"
        assert frame_probe.guard("Stage failed: ", lambda: None) is True
        assert capsys.readouterr().out == ""

    def test_guarded_stage_lets_interrupts_through(self, frame_probe, capsys):
        def interrupted():
            raise KeyboardInterrupt

        with pytest.raises(KeyboardInterrupt):
            frame_probe.guard("Stage failed: ", interrupted)
        assert capsys.readouterr().out == ""

    def test_with_statement_protocol(self, frame_probe):
        calls = []

        class Manager:
            def __init__(self, swallow):
                self.swallow = swallow

            def __enter__(self):
                calls.append("enter")
                return "value"

            def __exit__(self, kind, value, tb):
                calls.append((kind, type(value), tb is not None))
                return self.swallow

        assert frame_probe.with_(Manager(False), lambda value: value.upper()) == "VALUE"
        assert calls == ["enter", (None, type(None), False)]
        calls.clear()

        def fail(value):
            raise ValueError(value)

        with pytest.raises(ValueError):
            frame_probe.with_(Manager(False), fail)
        assert calls == ["enter", (ValueError, ValueError, True)]
        assert frame_probe.with_(Manager(True), fail) is None

    def test_with_statement_finds_special_methods_as_the_interpreter_does(self, frame_probe):
        class Manager:
            @classmethod
            def __enter__(cls):
                return cls

            @staticmethod
            def __exit__(*exc_info):
                return False

        manager = Manager()
        manager.__enter__ = lambda: "an instance attribute is not a special method"
        assert frame_probe.with_(manager, lambda value: value) is Manager
        with pytest.raises(TypeError, match="^'object' object does not support the context manager protocol$"):
            frame_probe.with_(object(), lambda value: value)
