function korvex_expect_error(call, expected, varargin)
%KORVEX_EXPECT_ERROR Fail unless CALL() raises an error with the message EXPECTED.
%   KORVEX_EXPECT_ERROR(CALL, EXPECTED) requires the whole message to equal EXPECTED.
%
%   Name/value options (defaults in brackets):
%     'match'    'exact' or 'substring': the message only has to contain EXPECTED [exact]
%     'outputs'  how many outputs CALL is asked for; a function may check nargout before
%                anything else, so the count decides which error comes first [0]
%     'label'    what a failure report starts with [the text of CALL]
match = 'exact';
outputs = 0;
label = func2str(call);
if mod(numel(varargin), 2) ~= 0
  error('test:badOption', 'korvex_expect_error: options come as name/value pairs.');
end
for i = 1:2:numel(varargin)
  value = varargin{i + 1};
  switch varargin{i}
    case 'match'
      if ~any(strcmp(value, {'exact', 'substring'}))
        error('test:badOption', 'korvex_expect_error: match must be exact or substring.');
      end
      match = value;
    case 'outputs'
      outputs = value;
    case 'label'
      label = value;
    otherwise
      error('test:badOption', 'korvex_expect_error: unknown option %s.', varargin{i});
  end
end

out = cell(1, outputs);
try
  if outputs == 0
    call();
  else
    [out{:}] = call();
  end
catch failure
  if strcmp(match, 'exact')
    matched = strcmp(failure.message, expected);
  else
    matched = ~isempty(strfind(failure.message, expected));
  end
  if ~matched
    error('test:failed', '%s: wrong message:\n[%s]\nexpected (%s match):\n[%s]', label, ...
          failure.message, match, expected);
  end
  return;
end
error('test:failed', '%s: no error raised; expected (%s match):\n[%s]', label, match, expected);
end
