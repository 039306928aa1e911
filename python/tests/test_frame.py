"""The module frame: registration, class properties, texts of the frame."""

import unittest

import vostrel._core as core

# Every attribute the module registers, in registration order.
REGISTRATION_ORDER = [
    "load_transducer", "stdlib", "validate",
    "TransducerDef", "SessionConfig", "StepResult", "Session", "Snapshot",
    "ContinuationSession", "FoldResult", "Coordinator",
    "load_session_def", "validate_session_def", "validate_session_def_strict",
    "derive_topology", "derive_inbound_checks", "resolve_source",
    "AgentSession", "session_init", "NetworkSession",
]
CLASSES = {"TransducerDef", "SessionConfig", "StepResult", "Session", "Snapshot",
           "ContinuationSession", "FoldResult", "Coordinator", "AgentSession",
           "NetworkSession"}
NO_CONSTRUCTOR = {"Snapshot", "StepResult", "FoldResult", "TransducerDef"}


def registered():
    return list(REGISTRATION_ORDER)


class ModuleTest(unittest.TestCase):
    def test_docstring_is_empty(self):
        self.assertEqual(core.__doc__, "")

    def test_attributes_in_registration_order(self):
        public = [n for n in vars(core) if not n.startswith("__")]
        self.assertEqual(public, registered())

    def test_every_name_present(self):
        for name in REGISTRATION_ORDER:
            with self.subTest(name=name):
                self.assertTrue(hasattr(core, name))
        for name in CLASSES:
            self.assertIsInstance(getattr(core, name), type)

    def test_only_standard_dunders_besides(self):
        dunders = {n for n in vars(core) if n.startswith("__")}
        self.assertEqual(dunders, {"__name__", "__doc__", "__package__", "__loader__",
                                   "__spec__", "__file__"})


class ClassPropertiesTest(unittest.TestCase):
    def classes(self):
        return [getattr(core, n) for n in registered() if n in CLASSES]

    def test_bare_names(self):
        for cls in self.classes():
            self.assertEqual(cls.__name__, cls.__qualname__)
            self.assertNotIn(".", cls.__name__)

    def test_not_subclassable(self):
        for cls in self.classes():
            with self.subTest(cls=cls.__name__), self.assertRaises(TypeError):
                type("Sub", (cls,), {})

    def test_no_constructor(self):
        for cls in self.classes():
            if cls.__name__ in NO_CONSTRUCTOR:
                with self.subTest(cls=cls.__name__):
                    with self.assertRaises(TypeError) as caught:
                        cls()
                    self.assertEqual(str(caught.exception),
                                     f"cannot create '{cls.__name__}' instances")
                    self.assertEqual(cls.__doc__, "")

    def test_no_instance_dict_or_weakref(self):
        for cls in self.classes():
            self.assertFalse(hasattr(cls, "__dict__") and "__dict__" in cls.__dict__)
            self.assertNotIn("__weakref__", cls.__dict__)
            self.assertEqual(cls.__base__, object)


# Function text signatures and the prose after the "--" line (None: no prose).
FUNCTIONS = {
    "load_transducer": ("(json)", None),
    "stdlib": ("()", None),
    "validate": ("(transducers)", None),
    "load_session_def": ("(json)", "Load a session definition from JSON. Returns dict with "
                         "session_config, source_ids, etc."),
    "validate_session_def": ("(json)", "Validate a session definition from JSON. Returns list "
                             "of error strings."),
    "validate_session_def_strict": ("(json)",
                                    "Validate strictly \u2014 raises ValueError on first error."),
    "derive_topology": ("(sources_json, outbound_checks_json)",
                        "Derive routing JSON from source registrations and outbound checks (both\n"
                        "JSON). Python-side name preserved as `derive_topology` for API stability;\n"
                        "the produced JSON is now a `RoutingConfig` (dispatch_rules, outbound_checks,\n"
                        "inbound_checks)."),
    "derive_inbound_checks": ("(checks_json)", "Derive inbound check defs from JSON."),
    "resolve_source": ("(sources_json, request_type)",
                       "Resolve which source handles a request type. Returns source_id or None."),
    "session_init": ("(context)",
                     "Stdlib helper: produce a SessionInit boot event as (tag, data_dict)."),
}

# Per class: constructor text signature (None: no constructor), then the methods and the
# getters, each in member order, with text signature and docstring prose.
TOPOLOGY_DOC = ("Get the routing configuration as JSON (the host uses it to classify events).\n"
                "The Python-side name is kept for backward compatibility; the content is\n"
                "a `RoutingConfig` (dispatch_rules, outbound_checks, inbound_checks).")
MEMBERS = {
    "Session": ("(transducers, config)", [
        ("step", "($self, event_tag, event_data)", None),
        ("get_state", "($self)", None),
        ("snapshot", "($self)", None),
        ("replay", "(transducers, config, event_log)", None),
        ("resume", "(snapshot, config, transducers, remaining_events)", None),
    ], [("events_processed", None), ("is_quiescent", None), ("pending", None)]),
    "Snapshot": (None, [
        ("to_msgpack", "($self)", None),
        ("from_msgpack", "(bytes)", None),
        ("to_json", "($self)", None),
        ("from_json", "(json)", None),
    ], [("event_count", None), ("pending", None)]),
    "FoldResult": (None, [], [("vm_env", None), ("actions", None)]),
    "StepResult": (None, [], [
        ("actions", "Requests that passed the gate, as list of action dicts.\n"
                    "Each dict has \"type\" (\"Dispatch\" or \"CheckThenDispatch\"),\n"
                    "\"request\" (the value), and optionally \"check_source\"."),
        ("dispatched", "Backward compat: dispatched values (all requests, both checked and "
                       "unchecked)."),
        ("check_requests", "Check source IDs for requests that need approval."),
        ("pending", "Pending request types after this step."),
        ("inbound_check", "Inbound check source if this event was intercepted."),
    ]),
    "Coordinator": ("()", [
        ("spawn_session", "($self, id)", None),
        ("fork_session", "($self, parent, child)", None),
        ("destroy_session", "($self, id)", None),
        ("add_route", "($self, src, dst, request_type, result_type)", None),
        ("start_processing", "($self, id)", None),
        ("process_step", "($self, id)", None),
        ("delegate_to", "($self, src, dst, request_type, request_data)", None),
        ("finish_session", "($self, id)", None),
        ("complete_delegation", "($self, src, dst)", None),
        ("reset_session", "($self, id)", None),
        ("cancel_delegation", "($self, src, dst)", None),
        ("session_failed", "($self, id)", None),
        ("session", "($self, id)", None),
        ("sessions", "($self)", None),
        ("delegation_graph", "($self)", None),
        ("can_reach", "($self, start, target)", None),
    ], []),
    "AgentSession": ("(transducers, config)", [
        ("resume", "(transducers, config, event_log)", None),
        ("resume_from_snapshot", "(transducers, config, snapshot, remaining_events)", None),
        ("snapshot", "($self)", None),
        ("get_state", "($self)", None),
        ("check_inbound", "($self, event_tag)",
         "Does this event need an inbound check before folding?\n"
         "Returns {\"event_tag\": str, \"check_source\": str} or None."),
        ("fold_event", "($self, event_tag, event_data)",
         "Fold one event: clear_pending \u2192 fold \u2192 gate \u2192 classify \u2192 add_pending.\n"
         "Returns {\"requests\": [...]} where each request is a dict with\n"
         "\"action\" = \"Dispatch\" or \"CheckThenDispatch\"."),
        ("boot", "($self, event_tag, event_data)",
         "Process a boot event (SessionInit, etc). Runs fold, ignores requests."),
        ("cancel_request", "($self, request_type)",
         "Cancel a request rejected by an outbound check."),
        ("skip_inbound", "($self, event_tag)",
         "Record that an inbound-checked event was rejected."),
    ], [("is_idle", None), ("event_log", None), ("events_processed", None), ("pending", None)]),
    "SessionConfig": ('(topology_json, inbound_checks_json="[]")', [], [
        ("topology_json", TOPOLOGY_DOC),
        ("inbound_checks_json", "Get the inbound checks as JSON."),
    ]),
    "TransducerDef": (None, [], [("name", None)]),
    "NetworkSession": ("(agents, delegation_routes, handoff_routes, entry_point)", [
        ("agent_status", "($self, id)", None),
        ("session", "($self, id)",
         "Query a session by ID. Returns dict with status etc, or None."),
        ("delegation_graph", "($self)", "Active delegation edges."),
        ("fold_event", "($self, event_type, event_data)",
         "Fold a network event. Returns {\"requests\": [...], \"error\": str|None}."),
        ("fold_static_delegation", "($self, src, dst)",
         "Fold a static delegation (between pre-registered agents)."),
        ("fold_static_delegation_complete", "($self, src, dst)", "Complete a static delegation."),
        ("reset_agent", "($self, id)", "Reset a done agent to idle via fold."),
    ], [("active_agent", None)]),
    "ContinuationSession": ("(transducers, topology_json)", [
        ("fold_event", "($self, event_tag, event_data)", None),
        ("get_state", "($self)", None),
    ], []),
}


class SignatureTest(unittest.TestCase):
    def test_functions(self):
        for name, (signature, doc) in FUNCTIONS.items():
            with self.subTest(name=name):
                fn = getattr(core, name)
                self.assertEqual(fn.__text_signature__, signature)
                self.assertEqual(fn.__doc__, doc)

    def test_every_class_listed(self):
        self.assertEqual(set(MEMBERS), CLASSES)

    def test_class_docstrings(self):
        for name, (signature, _, _) in MEMBERS.items():
            with self.subTest(cls=name):
                cls = getattr(core, name)
                self.assertEqual(cls.__text_signature__, signature)
                self.assertEqual(cls.__doc__, "")

    def test_members_in_order(self):
        for name, (_, methods, getters) in MEMBERS.items():
            with self.subTest(cls=name):
                own = vars(getattr(core, name))
                self.assertEqual(
                    [n for n, a in own.items() if type(a).__name__ in
                     ("method_descriptor", "staticmethod")],
                    [n for n, _, _ in methods])
                self.assertEqual(
                    [n for n, a in own.items() if type(a).__name__ == "getset_descriptor"],
                    [n for n, _ in getters])
                extra = {n for n in own if not n.startswith("__")} - \
                    {n for n, _, _ in methods} - {n for n, _ in getters}
                self.assertEqual(extra, set())

    def test_method_signatures_and_docs(self):
        for name, (_, methods, getters) in MEMBERS.items():
            cls = getattr(core, name)
            for member, signature, doc in methods:
                with self.subTest(member=f"{name}.{member}"):
                    fn = getattr(cls, member)
                    self.assertEqual(fn.__text_signature__, signature)
                    self.assertEqual(fn.__doc__, doc)
            for member, doc in getters:
                with self.subTest(member=f"{name}.{member}"):
                    self.assertEqual(vars(cls)[member].__doc__, doc)

    def test_static_methods(self):
        for name, (_, methods, _) in MEMBERS.items():
            own = vars(getattr(core, name))
            for member, signature, _ in methods:
                with self.subTest(member=f"{name}.{member}"):
                    self.assertEqual(isinstance(own[member], staticmethod),
                                     not signature.startswith("($self"))

    def test_repr_only_on_transducer_def(self):
        for name in CLASSES:
            with self.subTest(cls=name):
                self.assertEqual("__repr__" in vars(getattr(core, name)),
                                 name == "TransducerDef")


if __name__ == "__main__":
    unittest.main()
