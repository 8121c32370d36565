"""The agent: create_agent builds a tool-calling agent over a SQL database;
run_agent puts one question to it and returns the answer text."""

import asyncio as asyncio
import json as json
import os as os
from typing import Any, Dict, List, Optional, Tuple, Union

import aiohttp as aiohttp
import requests as requests  # type: ignore[import-untyped,unused-ignore]  # older releases are untyped
from dotenv import load_dotenv as load_dotenv
from langchain.agents import AgentExecutor as AgentExecutor
from langchain.agents.agent import RunnableAgent as RunnableAgent
from langchain.agents.format_scratchpad.openai_tools import (
    format_to_openai_tool_messages as format_to_openai_tool_messages,
)
from langchain.agents.output_parsers.openai_tools import (
    OpenAIToolsAgentOutputParser as OpenAIToolsAgentOutputParser,
)
from langchain.prompts import ChatPromptTemplate as ChatPromptTemplate
from langchain.prompts import MessagesPlaceholder as MessagesPlaceholder
from langchain.pydantic_v1 import BaseModel as BaseModel
from langchain.pydantic_v1 import Field as Field
from langchain.tools import StructuredTool as StructuredTool
from langchain_community.callbacks import get_openai_callback as get_openai_callback
from langchain_core.agents import AgentAction, AgentFinish
from langchain_core.callbacks import Callbacks
from langchain_core.messages import AIMessage as AIMessage
from langchain_core.messages import HumanMessage as HumanMessage
from langchain_core.tools import ToolException as ToolException
from langchain_openai import AzureChatOpenAI as AzureChatOpenAI
from langchain_openai import AzureOpenAI as AzureOpenAI
from langchain_openai import ChatOpenAI as ChatOpenAI
from velto_ai_sdk.api import VeltoAPIHandler as VeltoAPIHandler
from velto_ai_sdk.api import send_user_question as send_user_question
from velto_ai_sdk.codetool import (
    ensure_virtual_environment as ensure_virtual_environment,
    env_path as env_path,
    execute_code as execute_code,
    initialize_environment as initialize_environment,
    install_defaults as install_defaults,
    install_dependencies as install_dependencies,
    media_path as media_path,
    python_executable as python_executable,
    safe_install_modules as safe_install_modules,
    subprocess as subprocess,
    tempfile as tempfile,
    venv as venv,
)
from velto_ai_sdk.sqltool import (
    execute_mssql_query as execute_mssql_query,
    execute_mysql_query as execute_mysql_query,
    execute_pgdb_query as execute_pgdb_query,
    get_mssql_db_schema as get_mssql_db_schema,
    get_mysql_database_schema as get_mysql_database_schema,
    get_pgdb_schema as get_pgdb_schema,
)

__test__: Dict[str, Any]

class CustomRunnableAgent(RunnableAgent):
    # Unlike the base's, `callbacks` is required, and the answer may be the
    # list of tool actions that the output parser gives.
    def plan(  # type: ignore[override]
        self,
        intermediate_steps: List[Tuple[AgentAction, str]],
        callbacks: Callbacks,
        **kwargs: Any,
    ) -> Union[AgentAction, List[AgentAction], AgentFinish]: ...

def create_chat_openai_instance(velto_api_key: str) -> ChatOpenAI: ...

# None when the agent could not be assembled (the reason is printed).
def create_agent(
    velto_api_key: str,
    media_path: str,
    engine: str,
    instructions: Optional[str] = None,
) -> Optional[AgentExecutor]: ...

# The answer text; "An error occurred" when the run failed (the reason is
# printed), "Error: No output generated from the agent." without an agent.
def run_agent(agent: Optional[AgentExecutor], velto_api_key: str, query: str) -> str: ...
