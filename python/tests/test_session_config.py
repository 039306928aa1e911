"""SessionConfig: construction from two JSON texts, normalising getters, failures."""

import unittest

from coordination_support import growth_in_blocks
from vostrel._core import SessionConfig

EMPTY = '{"dispatch_rules":[],"outbound_checks":[],"inbound_checks":[]}'
FULL = ('{"dispatch_rules":[{"request_type":"LlmRequest","result_type":"LlmResponse"}],'
        '"outbound_checks":[{"request_type":"ToolRequest","check_source":"gu\\"ard"}],'
        '"inbound_checks":[{"result_type":"ToolResult","check_source":"é"}]}')
CHECKS = '[{"intercept":"ToolResult","check_source":"c"},{"intercept":"A","check_source":""}]'


class SessionConfigTest(unittest.TestCase):
    def test_empty_configuration_with_default_checks(self):
        config = SessionConfig(EMPTY)
        self.assertEqual(config.topology_json, EMPTY)
        self.assertEqual(config.inbound_checks_json, "[]")

    def test_getters_normalise_and_round_trip(self):
        spaced = ('{ "inbound_checks": [["ToolResult", "é"]], "extra": {"x": [1]},\n'
                  '  "outbound_checks": [{"check_source": "gu\\"ard", "request_type": "ToolRequest"}],'
                  '  "dispatch_rules": [["LlmRequest", "LlmResponse"]] }')
        config = SessionConfig(spaced, inbound_checks_json=' [["ToolResult","c"],'
                               '{"check_source":"","intercept":"A","x":0}] ')
        self.assertEqual(config.topology_json, FULL)
        self.assertEqual(config.inbound_checks_json, CHECKS)
        again = SessionConfig(config.topology_json, config.inbound_checks_json)
        self.assertEqual((again.topology_json, again.inbound_checks_json), (FULL, CHECKS))
        self.assertIsNot(config.topology_json, config.topology_json)

    def test_reader_errors(self):
        cases = [
            (("{}",), "Invalid routing JSON: missing field `dispatch_rules` at line 1 column 2"),
            (('{"dispatch_rules":[],"outbound_checks":[]}',),
             "Invalid routing JSON: missing field `inbound_checks` at line 1 column 42"),
            (("[[],[]]",), "Invalid routing JSON: invalid length 2, expected struct RoutingConfig "
                           "with 3 elements at line 1 column 7"),
            ((EMPTY + "x",), "Invalid routing JSON: trailing characters at line 1 column 63"),
            ((EMPTY, "{}"), "Invalid inbound checks JSON: invalid type: map, expected a sequence "
                            "at line 1 column 0"),
            ((EMPTY, '[["A"]]'), "Invalid inbound checks JSON: invalid length 1, expected struct "
                                 "InboundCheckDef with 2 elements at line 1 column 6"),
            # Both texts bad: only the routing error is reported.
            (("{}", "{}"), "Invalid routing JSON: missing field `dispatch_rules` at line 1 column 2"),
        ]
        for args, message in cases:
            with self.subTest(args=args), self.assertRaises(ValueError) as caught:
                SessionConfig(*args)
            self.assertEqual(str(caught.exception), message)

    def test_argument_errors(self):
        class Text(str):
            pass

        self.assertEqual(SessionConfig(Text(EMPTY), Text("[]")).topology_json, EMPTY)
        cases = [
            ((), {}, "SessionConfig.__new__() missing 1 required positional argument: "
                     "'topology_json'"),
            ((EMPTY, "[]", "x"), {}, "SessionConfig.__new__() takes from 1 to 2 positional "
                                     "arguments but 3 were given"),
            ((EMPTY,), {"x": 1}, "SessionConfig.__new__() got an unexpected keyword argument 'x'"),
            ((EMPTY,), {"topology_json": EMPTY},
             "SessionConfig.__new__() got multiple values for argument 'topology_json'"),
            ((5,), {}, "argument 'topology_json': 'int' object is not an instance of 'str'"),
            # Arguments are extracted before either text is read.
            (("{}", None), {}, "argument 'inbound_checks_json': 'None' is not an instance of 'str'"),
        ]
        for args, kwargs, message in cases:
            with self.subTest(args=args, kwargs=kwargs), self.assertRaises(TypeError) as caught:
                SessionConfig(*args, **kwargs)
            self.assertEqual(str(caught.exception), message)

    def test_documentation(self):
        self.assertEqual(SessionConfig.__doc__, "")
        self.assertEqual(SessionConfig.__text_signature__,
                         '(topology_json, inbound_checks_json="[]")')
        self.assertEqual(SessionConfig.inbound_checks_json.__doc__,
                         "Get the inbound checks as JSON.")
        self.assertEqual(len(SessionConfig.topology_json.__doc__.split("\n")), 3)

    def test_immutable(self):
        config = SessionConfig(EMPTY)
        with self.assertRaises(AttributeError):
            config.topology_json = EMPTY
        with self.assertRaises(AttributeError):
            config.other = 1

    def test_repeated_calls_leak_nothing(self):
        def calls():
            config = SessionConfig(FULL, CHECKS)
            config.topology_json, config.inbound_checks_json
            for args in (("{}",), (EMPTY, "{}"), (5,), (EMPTY, "[]", "x")):
                try:
                    SessionConfig(*args)
                except (TypeError, ValueError):
                    pass

        self.assertLess(growth_in_blocks(calls, rounds=1000), 30)


if __name__ == "__main__":
    unittest.main()
