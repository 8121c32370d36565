# A host application as an editor or mypy sees it through the type stubs.
from velto_ai_sdk import agent, codetool, master

master.initialize_env("/tmp/velto-env")
master.safe_install_modules(["seaborn"])
executor = agent.create_agent("account-key", "/tmp/media", "postgresql", instructions="Be brief.")
answer: str = agent.run_agent(executor, "account-key", "How many orders were placed last month?")
print(answer.upper())
output: str = codetool.execute_code("print(1)")
interpreter = codetool.python_executable

from velto_ai_sdk import Answer, Conversation, ToolCallStarted  # noqa: E402


def progress(event: object) -> None:
    if isinstance(event, ToolCallStarted):
        print(event.activity, event.input.strip())


talk = Conversation("account-key", "/tmp/media", "PostgreSQL", on_event=progress)
reply: Answer = talk.ask("And by month?")
words: str = reply.message
statements = [query.sql for query in reply.queries]
costs: float = sum(turn.cost for turn in talk.turns)
