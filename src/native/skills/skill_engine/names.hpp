// Every Python-visible name the skill engine looks up, sets or passes as a
// keyword, interned once when the module body runs.
#pragma once

#include "py/legacy_names.hpp"
#include "py/names.hpp"

namespace zorvik::skills {

// X(member, "text"), grouped by what they name; alphabetical within a group.
#define SKILL_ENGINE_NAMES(X)                             \
    /* module namespace */                                \
    X(Any, "Any")                                         \
    X(OUTPUT_DIR, "OUTPUT_DIR")                           \
    X(Path, "Path")                                       \
    X(PythonSkillResult, "PythonSkillResult")             \
    X(SKILLS_DIR, "SKILLS_DIR")                           \
    X(STATE_DIR, "STATE_DIR")                             \
    X(ZorvikContext, "ZorvikContext")                     \
    X(asyncio, "asyncio")                                 \
    X(dataclass, "dataclass")                             \
    X(field, "field")                                     \
    X(importlib, "importlib")                             \
    X(json, "json")                                       \
    X(logger, "logger")                                   \
    X(logging, "logging")                                 \
    X(os, "os")                                           \
    X(sys, "sys")                                         \
    X(time, "time")                                       \
    X(traceback, "traceback")                             \
    /* context attributes and methods */                  \
    X(_browser_context, "_browser_context")               \
    X(_browser_instance, "_browser_instance")             \
    X(_create_llm_client, "_create_llm_client")           \
    X(_llm, "_llm")                                       \
    X(_llm_model, "_llm_model")                           \
    X(_load_full_state, "_load_full_state")               \
    X(_logs, "_logs")                                     \
    X(_output_dir, "_output_dir")                         \
    X(_page, "_page")                                     \
    X(_playwright, "_playwright")                         \
    X(_state_file, "_state_file")                         \
    X(browser_close, "browser_close")                     \
    X(browser_open, "browser_open")                       \
    X(cleanup, "cleanup")                                 \
    X(get_logs, "get_logs")                               \
    X(llm_ask, "llm_ask")                                 \
    X(log, "log")                                         \
    X(skill_name, "skill_name")                           \
    /* result fields and dict keys */                     \
    X(duration, "duration")                               \
    X(duration_seconds, "duration_seconds")               \
    X(error, "error")                                     \
    X(llm_model, "llm_model")                             \
    X(logs, "logs")                                       \
    X(output_files, "output_files")                       \
    X(result, "result")                                   \
    X(success, "success")                                 \
    /* standard library */                                \
    X(JSONDecodeError, "JSONDecodeError")                 \
    X(append, "append")                                   \
    X(copy, "copy")                                       \
    X(coroutines, "coroutines")                           \
    X(dunder_file, "__file__")                            \
    X(PIPE, "PIPE")                                       \
    X(CancelledError, "CancelledError")                   \
    X(TimeoutError, "TimeoutError")                       \
    X(_is_coroutine, "_is_coroutine")                     \
    X(_default_decoder, "_default_decoder")               \
    X(communicate, "communicate")                         \
    X(create_subprocess_shell, "create_subprocess_shell") \
    X(default_, "default")                                \
    X(dumps, "dumps")                                     \
    X(exec_module, "exec_module")                         \
    X(exist_ok, "exist_ok")                               \
    X(exists, "exists")                                   \
    X(fchmod, "fchmod")                                   \
    X(filename, "filename")                               \
    X(get, "get")                                         \
    X(format_exc, "format_exc")                           \
    X(fsync, "fsync")                                     \
    X(home, "home")                                       \
    X(indent, "indent")                                   \
    X(info, "info")                                       \
    X(insert, "insert")                                   \
    X(is_file, "is_file")                                 \
    X(iscoroutinefunction, "iscoroutinefunction")         \
    X(iterdir, "iterdir")                                 \
    X(kill, "kill")                                       \
    X(loader, "loader")                                   \
    X(loads, "loads")                                     \
    X(mkdir, "mkdir")                                     \
    X(open_, "open")                                      \
    X(module_from_spec, "module_from_spec")               \
    X(parent, "parent")                                   \
    X(parents, "parents")                                 \
    X(path, "path")                                       \
    X(pid, "pid")                                         \
    X(process_group, "process_group")                     \
    X(read_text, "read_text")                             \
    X(realpath, "realpath")                               \
    X(replace, "replace")                                 \
    X(returncode, "returncode")                           \
    X(run, "run")                                         \
    X(sleep, "sleep")                                     \
    X(spec_from_file_location, "spec_from_file_location") \
    X(stderr_, "stderr")                                  \
    X(stdout_, "stdout")                                  \
    X(strip, "strip")                                     \
    X(subprocess, "subprocess")                           \
    X(timeout, "timeout")                                 \
    X(unlink, "unlink")                                   \
    X(util, "util")                                       \
    X(wait_for, "wait_for")                               \
    X(write_, "write")                                    \
    X(write_text, "write_text")                           \
    /* LLM client */                                      \
    X(AsyncOpenAI, "AsyncOpenAI")                         \
    X(chat, "chat")                                       \
    X(choices, "choices")                                 \
    X(completions, "completions")                         \
    X(content, "content")                                 \
    X(create, "create")                                   \
    X(max_tokens, "max_tokens")                           \
    X(message, "message")                                 \
    X(messages, "messages")                               \
    X(model, "model")                                     \
    X(openai, "openai")                                   \
    X(parse_error, "parse_error")                         \
    X(raw_response, "raw_response")                       \
    X(role, "role")                                       \
    X(system, "system")                                   \
    X(user, "user")                                       \
    /* Word documents */                                  \
    X(Document, "Document")                               \
    X(add_heading, "add_heading")                         \
    X(add_paragraph, "add_paragraph")                     \
    X(save, "save")                                       \
    /* Playwright */                                      \
    X(args, "args")                                       \
    X(async_playwright, "async_playwright")               \
    X(chromium, "chromium")                               \
    X(click, "click")                                     \
    X(evaluate, "evaluate")                               \
    X(fill, "fill")                                       \
    X(goto_, "goto")                                      \
    X(headless, "headless")                               \
    X(launch, "launch")                                   \
    X(new_context, "new_context")                         \
    X(new_page, "new_page")                               \
    X(screenshot, "screenshot")                           \
    X(set_input_files, "set_input_files")                 \
    X(start, "start")                                     \
    X(stop, "stop")                                       \
    X(storage_state, "storage_state")                     \
    X(wait_for_selector, "wait_for_selector")             \
    X(wait_until, "wait_until")

ZORVIK_DECLARE_NAMES(SKILL_ENGINE_NAMES)

}  // namespace zorvik::skills
