# Mistakes the stubs let mypy catch, one per line.
from velto_ai_sdk import agent, master

agent.create_agent("account-key", "/tmp/media")
count: int = master.execute_code("print(1)")
master.initialize_env()
agent.run_agent(None, "account-key", question="How many orders?")
from velto_ai_sdk import Conversation  # noqa: E402
Conversation("account-key", "/tmp/media").ask(42)
