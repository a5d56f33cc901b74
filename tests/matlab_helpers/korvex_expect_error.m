function korvex_expect_error(action, expected, label)
%KORVEX_EXPECT_ERROR Fail unless ACTION() raises an error whose message contains EXPECTED.
raised = false;
try
  action();
catch failure
  raised = true;
  message = failure.message;
end
if ~raised
  error('test:failed', '%s: no error raised (expected "%s").', label, expected);
end
if isempty(strfind(message, expected))
  error('test:failed', '%s: error "%s" does not mention "%s".', label, message, expected);
end
end
