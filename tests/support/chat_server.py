"""The scripted chat-model server as a fixture, for tests that drive the agent.

    def test_something(scripted_chat_server):
        server = scripted_chat_server([tool_call_reply(...), text_reply(...)], env=True)
        ...  # OPENAI_BASE_URL / OPENAI_API_BASE / OPENAI_API_KEY now point at it
        assert server.chat_bodies[1]["messages"][-1]["role"] == "tool"

Every server the test starts is stopped when it ends.
"""

import pytest


@pytest.fixture
def scripted_chat_server(monkeypatch):
    # Imported here so that registering this plugin never breaks collecting
    # the rest of the suite.
    from velto_ai_sdk.scripted_model import ScriptedChatServer

    servers = []

    def start(script=(), env=False, **kwargs):
        server = ScriptedChatServer(script, **kwargs).start()
        servers.append(server)
        if env:
            for name, value in server.environ().items():
                monkeypatch.setenv(name, value)
        return server

    yield start
    for server in servers:
        server.stop()
