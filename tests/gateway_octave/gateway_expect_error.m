function gateway_expect_error(nout, call, message)
%GATEWAY_EXPECT_ERROR  Call CALL with NOUT outputs and require the error MESSAGE, the text the
%   gateway hands to mexErrMsgTxt. Octave shows it after the function name and drops one
%   trailing line break.
  expected = message;
  if ~isempty(expected) && expected(end) == "\n"
    expected = expected(1:end - 1);
  end
  expected = ['KorvexCUDA: ' expected];
  out = cell(1, nout);
  try
    if nout == 0
      call();
    else
      [out{:}] = call();
    end
  catch err
    if ~strcmp(err.message, expected)
      error('gateway_test:message', 'wrong message:\n[%s]\nexpected:\n[%s]', err.message, expected);
    end
    return;
  end
  error('gateway_test:noError', 'no error; expected:\n[%s]', expected);
end
