"""The type stub vostrel/_core.pyi against the module it describes.

The stub is read as a syntax tree (never imported) and compared with the
module's own introspection: the same public names, the same parameters in
the same order and kind, properties exactly where the module has getters,
static methods exactly where it has them. The dict shapes the stub declares
as TypedDicts are held against results the module really returns.
"""

import ast
import inspect
import os
import pathlib
import types
import unittest

import vostrel._core as core

SOURCE_DIR = pathlib.Path(os.environ.get("VOSTREL_SOURCE_DIR",
                                         pathlib.Path(__file__).resolve().parents[2]))
STUB = SOURCE_DIR / "python" / "vostrel" / "_core.pyi"


def decorators(fn):
    return {d.id for d in fn.decorator_list if isinstance(d, ast.Name)}


class Stub:
    """The functions, classes, TypedDicts and type aliases of the stub."""

    def __init__(self, path):
        tree = ast.parse(path.read_text(encoding="utf-8"), filename=str(path))
        self.functions, self.classes, self.typeddicts, self.aliases = {}, {}, {}, set()
        for node in tree.body:
            if isinstance(node, ast.FunctionDef):
                self.functions[node.name] = node
            elif isinstance(node, ast.ClassDef):
                bases = {b.id for b in node.bases if isinstance(b, ast.Name)}
                if "TypedDict" in bases:
                    self.typeddicts[node.name] = {
                        item.target.id: item.annotation for item in node.body
                        if isinstance(item, ast.AnnAssign)}
                else:
                    self.classes[node.name] = {
                        item.name: item for item in node.body if isinstance(item, ast.FunctionDef)}
            elif isinstance(node, ast.AnnAssign):
                self.aliases.add(node.target.id)

    def literals(self, annotation):
        """The values a Literal[...] annotation allows (following one alias), or None."""
        if isinstance(annotation, ast.Subscript) and getattr(annotation.value, "id", "") == "Literal":
            items = annotation.slice.elts if isinstance(annotation.slice, ast.Tuple) else [annotation.slice]
            return {ast.literal_eval(i) for i in items}
        return None


def stub_parameters(fn, method):
    """[(name, default or inspect.Parameter.empty)] of a stub function."""
    args = fn.args
    if args.posonlyargs or args.kwonlyargs or args.vararg or args.kwarg:
        raise AssertionError(f"{fn.name}: every parameter is positional-or-keyword")
    names = [a.arg for a in args.args]
    if method:
        if names[:1] != ["self"]:
            raise AssertionError(f"{fn.name}: a method's first parameter is self")
        names = names[1:]
    defaults = [inspect.Parameter.empty] * (len(names) - len(args.defaults))
    defaults += [ast.literal_eval(d) for d in args.defaults]
    return list(zip(names, defaults))


def module_parameters(obj, method=False):
    """[(name, default)] of a module callable; a method's bound self left out."""
    params = list(inspect.signature(obj).parameters.values())
    if method:
        if not params or params[0].name != "self":
            raise AssertionError(f"{obj}: a method's first parameter is self")
        params = params[1:]
    for p in params:
        if p.kind is not inspect.Parameter.POSITIONAL_OR_KEYWORD:
            raise AssertionError(f"{obj}: {p.name} is {p.kind.description}")
    return [(p.name, p.default) for p in params]


STUB_DATA = Stub(STUB)


class StubMatchesModule(unittest.TestCase):
    def test_same_public_names(self):
        public = {n for n in vars(core) if not n.startswith("_")}
        self.assertEqual(set(STUB_DATA.functions) | set(STUB_DATA.classes), public)
        self.assertEqual(len(public), 20)
        # The shapes and aliases exist for type checkers only: none may hide
        # a name of the module.
        self.assertFalse((set(STUB_DATA.typeddicts) | STUB_DATA.aliases) & public)

    def test_function_parameters(self):
        for name, fn in STUB_DATA.functions.items():
            with self.subTest(name):
                self.assertEqual(stub_parameters(fn, method=False),
                                 module_parameters(getattr(core, name)))

    def test_class_members(self):
        for name, members in STUB_DATA.classes.items():
            cls = getattr(core, name)
            with self.subTest(name):
                members = dict(members)
                init = members.pop("__init__", None)
                if cls.__text_signature__ is None:
                    self.assertIsNone(init, "the class cannot be instantiated from Python")
                    with self.assertRaises(TypeError):
                        cls()
                else:
                    self.assertIsNotNone(init, "the class has a constructor")
                    self.assertEqual(stub_parameters(init, method=True), module_parameters(cls))
                own = {k: v for k, v in vars(cls).items() if not k.startswith("__")}
                self.assertEqual(set(members), set(own))
                for member, fn in members.items():
                    kind, runtime = decorators(fn), own[member]
                    with self.subTest(f"{name}.{member}"):
                        if isinstance(runtime, types.GetSetDescriptorType):
                            self.assertEqual(kind, {"property"})
                            self.assertEqual(stub_parameters(fn, method=True), [])
                        elif isinstance(runtime, staticmethod):
                            self.assertEqual(kind, {"staticmethod"})
                            self.assertEqual(stub_parameters(fn, method=False),
                                             module_parameters(getattr(cls, member)))
                        else:
                            self.assertIsInstance(runtime, types.MethodDescriptorType)
                            self.assertEqual(kind, set())
                            self.assertEqual(stub_parameters(fn, method=True),
                                             module_parameters(runtime, method=True))


class ShapesMatchResults(unittest.TestCase):
    """Each TypedDict against a result of that shape (all shapes covered)."""

    def assert_shape(self, value, shape, seen):
        seen.add(shape)
        fields = STUB_DATA.typeddicts[shape]
        self.assertEqual(set(value), set(fields), shape)
        for key, annotation in fields.items():
            allowed = STUB_DATA.literals(annotation)
            if allowed is not None:
                self.assertIn(value[key], allowed, f"{shape}.{key}")

    def test_every_shape(self):
        seen = set()
        topology = ('{"dispatch_rules":[{"request_type":"ToolRequest","result_type":"ToolResult"}],'
                    '"outbound_checks":[{"request_type":"ToolRequest","check_source":"policy"}],'
                    '"inbound_checks":[]}')
        checks = '[{"intercept":"UserMessage","check_source":"filter"}]'
        config = core.SessionConfig(topology, checks)
        agent = core.AgentSession(core.stdlib(), config)
        agent.boot(*core.session_init([]))
        self.assert_shape(agent.check_inbound("UserMessage"), "InboundCheck", seen)
        folded = agent.fold_event("UserMessage", {"parts": ["hi"]})
        self.assert_shape(folded, "FoldEventResult", seen)
        self.assert_shape(folded["requests"][0], "DispatchRequest", seen)
        call = {"id": "c1", "name": "t", "arguments": "{}"}
        folded = agent.fold_event("LlmResponse", {"role": "assistant", "parts": [],
                                                  "tool_calls": [call]})
        self.assert_shape(folded["requests"][0], "CheckThenDispatchRequest", seen)

        session = core.Session(core.stdlib(), config)
        session.step(*core.session_init([]))
        self.assert_shape(session.step("UserMessage", {"parts": []}).actions[0],
                          "DispatchAction", seen)
        step = session.step("LlmResponse", {"role": "assistant", "parts": [], "tool_calls": [call]})
        self.assert_shape(step.actions[0], "CheckThenDispatchAction", seen)

        c = core.Coordinator()
        self.assert_shape(c.spawn_session("p"), "CreateSessionEffect", seen)
        c.spawn_session("c")
        self.assert_shape(c.fork_session("p", "f"), "ForkSessionEffect", seen)
        self.assert_shape(c.destroy_session("f"), "DestroySessionEffect", seen)
        c.start_processing("p")
        c.add_route("p", "c", "Task", "Result")
        self.assert_shape(c.delegate_to("p", "c", "Task", {}), "AgentRequestEffect", seen)
        self.assert_shape(c.session("p"), "SessionRecord", seen)
        self.assert_shape(c.delegation_graph()[0], "DelegationEdge", seen)
        c.finish_session("c")
        self.assert_shape(c.complete_delegation("p", "c"), "CollectAgentResultEffect", seen)

        net = core.NetworkSession(["a", "b"], [("a", "b")], [], "a")
        folded = net.fold_event("DelegationRequested", {"parent": "a", "child": "b"})
        self.assert_shape(folded, "NetworkFoldResult", seen)
        self.assert_shape(folded["requests"][0], "NetworkRequest", seen)

        loaded = core.load_session_def('{"name":"n","transducers":[],"connections":[],"config":{}}')
        self.assert_shape(loaded, "LoadResult", seen)
        self.assertEqual(seen, set(STUB_DATA.typeddicts))


if __name__ == "__main__":
    unittest.main()
