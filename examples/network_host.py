"""A small host that drives a network of three agents.

The entry agent, `triage`, reads the user's question, delegates the fact
finding to a helper, `researcher`, collects its result, and hands the
conversation off to `writer`, which composes the answer. The core keeps the
network's state (who is active, who waits on whom, which agent runs) and
answers each network event with the agents the host must run next; the
host runs scripted stand-ins for the agents and feeds what they did back as
further events. After every event it prints the requests it got, the
delegation graph and the status of each agent.

Run it with the built module on the path:
    PYTHONPATH=build/dev/python python3.13 examples/network_host.py
"""

import sys
from collections import deque

import vostrel._core as core

AGENTS = ["triage", "researcher", "writer"]
QUESTION = "What should I pack for a weekend in Lisbon in March?"


class Host:
    def __init__(self):
        # The helper is made when triage first delegates to it; the handoff
        # target exists from the start.
        self.net = core.NetworkSession(
            agents=AGENTS,
            delegation_routes=[("triage", "researcher")],
            handoff_routes=[("triage", "writer")],
            entry_point="triage",
        )
        self.events = deque()
        self.notes = {}
        self.step = 0

    # The scripted agents. Each returns the network events that its run
    # produces, in order.

    def triage(self):
        if "research" not in self.notes:
            print("    triage: needs facts, delegates to researcher")
            return [("DelegationRequested", {"parent": "triage", "child": "researcher"})]
        print("    triage: has the facts, hands the conversation to writer")
        return [("AgentDone", {"agent": "triage"}),
                ("HandoffRequested", {"src": "triage", "dst": "writer"})]

    def researcher(self):
        self.notes["research"] = "March in Lisbon: 12-19 C, showers likely, hilly cobbles."
        print(f"    researcher: {self.notes['research']}")
        return [("AgentDone", {"agent": "researcher"}),
                ("DelegationComplete", {"parent": "triage", "child": "researcher"})]

    def writer(self):
        self.notes["answer"] = ("Pack layers, a light rain jacket and shoes with grip; "
                                "based on: " + self.notes["research"])
        print(f"    writer: {self.notes['answer']}")
        return [("HandoffComplete", {"src": "triage", "dst": "writer"}),
                ("AgentDone", {"agent": "writer"})]

    def run_agent(self, name):
        self.events.extend(getattr(self, name)())

    # The loop: fold one event, show the network, carry out the requests.

    def feed(self, event_type, data):
        self.step += 1
        fields = ", ".join(f"{k}={v}" for k, v in data.items())
        print(f"[{self.step}] {event_type}({fields})")
        result = self.net.fold_event(event_type, data)
        requests = result["requests"]
        print("    requests:", ", ".join(f"{r['type']}({r['agent']})" for r in requests)
              or "none")
        self.show()
        return requests

    def show(self):
        edges = self.net.delegation_graph()
        print("    delegations:", ", ".join(f"{e['src']} -> {e['dst']}" for e in edges)
              or "none")
        statuses = ", ".join(f"{a}={self.net.agent_status(a) or '-'}" for a in AGENTS)
        print(f"    agents: {statuses}; active: {self.net.active_agent or '-'}")

    def run(self):
        print(f"user: {QUESTION}")
        print("[0] boot")
        self.show()
        # The user's message starts the active agent, which the host then runs.
        self.feed("UserMessage", {})
        self.run_agent(self.net.active_agent)
        while self.events:
            event_type, data = self.events.popleft()
            requests = self.feed(event_type, data)
            if event_type == "DelegationRequested":
                # Asking again while the helper still works is dropped by the
                # core: the helper's request is still pending.
                again = self.net.fold_static_delegation(data["parent"], data["child"])
                print(f"    (asked again while pending: {len(again['requests'])} requests)")
            for request in requests:
                self.run_agent(request["agent"])
            if event_type == "DelegationComplete":
                # The parent goes on with the collected result.
                self.run_agent(data["parent"])
        print(f"answer: {self.notes.get('answer', '(none)')}")


def check(host):
    net = host.net
    expected = {"triage": "idle", "researcher": None, "writer": "done"}
    got = {a: net.agent_status(a) for a in AGENTS}
    if got != expected or net.delegation_graph() or net.active_agent != "writer":
        print(f"unexpected final network state: {got}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    host = Host()
    host.run()
    sys.exit(check(host))
