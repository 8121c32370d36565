"""velto_ai_sdk: a conversational data analyst in front of a relational database.

Import what you need directly; this package module imports nothing heavy:

    from velto_ai_sdk import master          # set up the private code environment
    from velto_ai_sdk import agent           # create_agent, run_agent
"""

__version__ = "0.1.0"
