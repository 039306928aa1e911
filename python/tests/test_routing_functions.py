"""Routing derivation and session definitions from Python."""

import json
import unittest

import vostrel._core as core
from coordination_support import growth_in_blocks

EMPTY_ROUTING = '{"dispatch_rules":[],"outbound_checks":[],"inbound_checks":[]}'

SOURCES = json.dumps([
    {"source_id": "llm", "pairs": [{"request_type": "LlmRequest", "result_type": "LlmResponse"}]},
    {"source_id": "tools", "pairs": [["ToolRequest", "ToolResult"], ["LlmRequest", "Other"]]},
])

DEFINITION = json.dumps({
    "name": "agent",
    "transducers": ["messages", "call_llm"],
    "connections": [
        {"source_id": "tools", "pairs": [["ToolRequest", "ToolResult"]],
         "checks": [{"intercept": "ToolRequest", "direction": "outbound", "check_source": "llm"},
                    {"intercept": "ToolResult", "direction": "inbound", "check_source": "tools"}]},
        {"source_id": "llm", "pairs": [["LlmRequest", "LlmResponse"]], "checks": []},
    ],
    "config": {"model": "m\u00e9", "a": "\"q\""},
})


def definition(transducers=(), connections=(), config=None):
    return json.dumps({"name": "n", "transducers": list(transducers),
                       "connections": list(connections), "config": config or {}},
                      separators=(",", ":"))


class DocstringsTest(unittest.TestCase):
    DOCS = {
        "resolve_source": "resolve_source(sources_json, request_type)\n--\n\n"
                          "Resolve which source handles a request type. Returns source_id or None.",
        "derive_topology": "derive_topology(sources_json, outbound_checks_json)\n--\n\n"
                           "Derive routing JSON from source registrations and outbound checks (both\n"
                           "JSON). Python-side name preserved as `derive_topology` for API stability;\n"
                           "the produced JSON is now a `RoutingConfig` (dispatch_rules, outbound_checks,\n"
                           "inbound_checks).",
        "derive_inbound_checks": "derive_inbound_checks(checks_json)\n--\n\n"
                                 "Derive inbound check defs from JSON.",
        "load_session_def": "load_session_def(json)\n--\n\n"
                            "Load a session definition from JSON. Returns dict with session_config, "
                            "source_ids, etc.",
        "validate_session_def": "validate_session_def(json)\n--\n\n"
                                "Validate a session definition from JSON. Returns list of error strings.",
        "validate_session_def_strict": "validate_session_def_strict(json)\n--\n\n"
                                       "Validate strictly \u2014 raises ValueError on first error.",
    }

    def test_docstrings_and_signatures(self):
        for name, text in self.DOCS.items():
            with self.subTest(name=name):
                fn = getattr(core, name)
                signature, _, prose = text.partition("\n--\n\n")
                self.assertEqual(fn.__text_signature__, signature[len(name):])
                self.assertEqual(fn.__doc__, prose)


class ArgumentsTest(unittest.TestCase):
    def test_every_parameter_must_be_str(self):
        cases = [
            (core.resolve_source, (1, "x"), "argument 'sources_json': 'int' object is not an instance of 'str'"),
            (core.resolve_source, ("[]", None), "argument 'request_type': 'None' is not an instance of 'str'"),
            (core.derive_topology, ("[]", b"[]"), "argument 'outbound_checks_json': 'bytes' object is not an instance of 'str'"),
            (core.derive_inbound_checks, ([],), "argument 'checks_json': 'list' object is not an instance of 'str'"),
            (core.load_session_def, (1,), "argument 'json': 'int' object is not an instance of 'str'"),
            (core.validate_session_def, (1,), "argument 'json': 'int' object is not an instance of 'str'"),
            (core.validate_session_def_strict, (1,), "argument 'json': 'int' object is not an instance of 'str'"),
        ]
        for fn, args, message in cases:
            with self.subTest(fn=fn.__name__, args=args):
                with self.assertRaises(TypeError) as caught:
                    fn(*args)
                self.assertEqual(str(caught.exception), message)

    def test_arity_and_keywords(self):
        with self.assertRaises(TypeError) as caught:
            core.derive_topology("[]")
        self.assertEqual(str(caught.exception),
                         "derive_topology() missing 1 required positional argument: 'outbound_checks_json'")
        self.assertEqual(core.derive_topology(outbound_checks_json="[]", sources_json="[]"), EMPTY_ROUTING)
        self.assertIsNone(core.resolve_source(request_type="x", sources_json="[]"))
        self.assertEqual(core.load_session_def(json=definition())["source_ids"], [])


class ResolveSourceTest(unittest.TestCase):
    def test_first_registration_with_the_exact_request_type(self):
        self.assertIsNone(core.resolve_source("[]", "LlmRequest"))
        self.assertEqual(core.resolve_source(SOURCES, "LlmRequest"), "llm")
        self.assertEqual(core.resolve_source(SOURCES, "ToolRequest"), "tools")
        self.assertIsNone(core.resolve_source(SOURCES, "ToolRequest:call-1"))
        self.assertIsNone(core.resolve_source(SOURCES, "LlmResponse"))

    def test_invalid_sources(self):
        cases = [
            ("{}", "Invalid sources JSON: invalid type: map, expected a sequence at line 1 column 0"),
            ('[{"source_id":"s"}]', "Invalid sources JSON: missing field `pairs` at line 1 column 18"),
            ('[["s",[["A"]]]]', "Invalid sources JSON: invalid length 1, expected struct "
                                "SourcePairInput with 2 elements at line 1 column 12"),
            ("", "Invalid sources JSON: EOF while parsing a value at line 1 column 0"),
        ]
        for text, message in cases:
            with self.subTest(text=text), self.assertRaises(ValueError) as caught:
                core.resolve_source(text, "A")
            self.assertEqual(str(caught.exception), message)


class DeriveTest(unittest.TestCase):
    def test_empty_inputs(self):
        self.assertEqual(core.derive_topology("[]", "[]"), EMPTY_ROUTING)
        self.assertEqual(core.derive_inbound_checks("[]"), "[]")

    def test_one_dispatch_rule_per_pair_and_first_outbound_check(self):
        checks = json.dumps([["LlmRequest", "policy"], {"check_source": "later", "request_type": "LlmRequest"},
                             ["Unmatched", "x"]])
        self.assertEqual(json.loads(core.derive_topology(SOURCES, checks)), {
            "dispatch_rules": [{"request_type": "LlmRequest", "result_type": "LlmResponse"},
                               {"request_type": "ToolRequest", "result_type": "ToolResult"},
                               {"request_type": "LlmRequest", "result_type": "Other"}],
            "outbound_checks": [{"request_type": "LlmRequest", "check_source": "policy"},
                                {"request_type": "LlmRequest", "check_source": "policy"}],
            "inbound_checks": [],
        })

    def test_inbound_checks_take_the_result_type_as_intercept(self):
        self.assertEqual(core.derive_inbound_checks('[{"result_type":"R\u00e9","check_source":"g"},["S","h"]]'),
                         '[{"intercept":"R\u00e9","check_source":"g"},{"intercept":"S","check_source":"h"}]')

    def test_invalid_inputs(self):
        cases = [
            (core.derive_topology, ("{}", "{}"),
             "Invalid sources JSON: invalid type: map, expected a sequence at line 1 column 0"),
            (core.derive_topology, ("[]", '[{"request_type":"A"}]'),
             "Invalid checks JSON: missing field `check_source` at line 1 column 21"),
            (core.derive_topology, ("[]", '[["A"]]'),
             "Invalid checks JSON: invalid length 1, expected struct OutboundCheckInput with 2 elements "
             "at line 1 column 6"),
            (core.derive_inbound_checks, ('[{"check_source":"g","result_type":"R"}] x',),
             "Invalid checks JSON: trailing characters at line 1 column 42"),
            (core.derive_inbound_checks, ("[[]]",),
             "Invalid checks JSON: invalid length 0, expected struct InboundCheckInput with 2 elements "
             "at line 1 column 3"),
        ]
        for fn, args, message in cases:
            with self.subTest(fn=fn.__name__, args=args), self.assertRaises(ValueError) as caught:
                fn(*args)
            self.assertEqual(str(caught.exception), message)


class LoadSessionDefTest(unittest.TestCase):
    def test_result_dict_in_key_order(self):
        loaded = core.load_session_def(DEFINITION)
        self.assertEqual(list(loaded), ["topology_json", "inbound_checks_json", "source_ids",
                                        "transducer_names", "config"])
        self.assertEqual(loaded["topology_json"],
                         '{"dispatch_rules":[{"request_type":"ToolRequest","result_type":"ToolResult"},'
                         '{"request_type":"LlmRequest","result_type":"LlmResponse"}],'
                         '"outbound_checks":[{"request_type":"ToolRequest","check_source":"llm"}],'
                         '"inbound_checks":[{"result_type":"ToolResult","check_source":"tools"}]}')
        self.assertEqual(loaded["inbound_checks_json"], '[{"intercept":"ToolResult","check_source":"tools"}]')
        self.assertEqual(loaded["source_ids"], ["llm", "tools"])
        self.assertEqual(loaded["transducer_names"], ["messages", "call_llm"])
        self.assertEqual(list(loaded["config"].items()), [("a", '"q"'), ("model", "m\u00e9")])

    def test_empty_definition_and_shared_source_id(self):
        self.assertEqual(core.load_session_def(definition()), {
            "topology_json": EMPTY_ROUTING, "inbound_checks_json": "[]", "source_ids": [],
            "transducer_names": [], "config": {}})
        shared = definition(connections=[["a", [["X", "Y"]], []], ["a", [["X", "Z"]], []]])
        loaded = core.load_session_def(shared)
        self.assertEqual(loaded["source_ids"], ["a"])
        self.assertEqual(len(json.loads(loaded["topology_json"])["dispatch_rules"]), 2)

    @unittest.skipUnless(hasattr(core, "SessionConfig"), "SessionConfig not built")
    def test_texts_rebuild_the_configuration(self):
        loaded = core.load_session_def(DEFINITION)
        config = core.SessionConfig(loaded["topology_json"], loaded["inbound_checks_json"])
        self.assertEqual(config.topology_json, loaded["topology_json"])
        self.assertEqual(config.inbound_checks_json, loaded["inbound_checks_json"])

    def test_reader_errors_have_no_prefix(self):
        cases = [
            (definition(config={"k": 5}),
             "invalid type: integer `5`, expected a string at line 1 column 61"),
            ('{"name":"s","transducers":[],"connections":[]}', "missing field `config` at line 1 column 46"),
            ('["s",[],[]]', "invalid length 3, expected struct SessionDef with 4 elements at line 1 column 11"),
        ]
        for fn in (core.load_session_def, core.validate_session_def, core.validate_session_def_strict):
            for text, message in cases:
                with self.subTest(fn=fn.__name__, text=text), self.assertRaises(ValueError) as caught:
                    fn(text)
                self.assertEqual(str(caught.exception), message)


class ValidateSessionDefTest(unittest.TestCase):
    def test_sound_definition(self):
        self.assertEqual(core.validate_session_def(DEFINITION), [])
        self.assertIsNone(core.validate_session_def_strict(DEFINITION))

    def test_every_problem_in_order_and_the_first_strictly(self):
        text = definition(
            transducers=["nope", "call_llm", "call_llm", "summary "],
            connections=[
                ["a", [["ToolRequest", "ToolResult"]], [["ToolResult", "Outbound", "zz"]]],
                ["a", [["ToolRequest", "Other"]], []],
            ])
        expected = [
            "duplicate source_id: a",
            "duplicate request_type: ToolRequest",
            "unknown transducer: nope",
            "unknown transducer: summary ",
            "invalid check direction 'Outbound' (connection 'a')",
            "check_source 'zz' not found (connection 'a')",
        ]
        self.assertEqual(core.validate_session_def(text), expected)
        with self.assertRaises(ValueError) as caught:
            core.validate_session_def_strict(text)
        self.assertEqual(str(caught.exception), expected[0])

    def test_intercept_must_name_a_pair_of_its_own_connection(self):
        text = definition(connections=[
            ["a", [["A", "AR"]], [["AR", "inbound", "a"], ["BR", "inbound", "a"]]],
            ["b", [["B", "BR"]], []],
        ])
        self.assertEqual(core.validate_session_def(text),
                         ["check intercept 'BR' not in connection 'a' pairs"])
        with self.assertRaises(ValueError) as caught:
            core.validate_session_def_strict(text)
        self.assertEqual(str(caught.exception), "check intercept 'BR' not in connection 'a' pairs")


class RepeatedCallsTest(unittest.TestCase):
    def test_calls_good_and_bad_leak_nothing(self):
        bad_def = definition(connections=[["a", [], [["x", "up", "b"]]]])
        calls = [
            lambda: core.resolve_source(SOURCES, "ToolRequest"), lambda: core.resolve_source("{", "x"),
            lambda: core.resolve_source(1, "x"), lambda: core.derive_topology(SOURCES, '[["A","b"]]'),
            lambda: core.derive_topology("[]", "[1]"), lambda: core.derive_inbound_checks('[["R","g"]]'),
            lambda: core.derive_inbound_checks("{}"), lambda: core.load_session_def(DEFINITION),
            lambda: core.load_session_def('{"config":{"k":1}}'), lambda: core.validate_session_def(bad_def),
            lambda: core.validate_session_def_strict(bad_def), lambda: core.validate_session_def_strict(),
            lambda: core.validate_session_def(json=DEFINITION, extra=1),
        ]

        def run_all():
            for call in calls:
                try:
                    call()
                except (TypeError, ValueError):
                    pass

        self.assertLess(growth_in_blocks(run_all, rounds=300), 30)


if __name__ == "__main__":
    unittest.main()
