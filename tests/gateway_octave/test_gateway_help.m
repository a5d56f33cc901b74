function test_gateway_help()
%TEST_GATEWAY_HELP  `help KorvexCUDA` shows the help file that sits beside the MEX file.
  [~, ~, extension] = fileparts(which('KorvexCUDA'));
  assert(strcmp(extension, ['.' mexext()]), 'KorvexCUDA resolves to %s, not the MEX file', which('KorvexCUDA'));
  text = help('KorvexCUDA');
  for phrase = {'KorvexCUDA(SEQ, MASKS, OTF, MAXITER, THRESHOLD, LAMBDA, ALPHA)', ...
                '[RECON, ITER, STEP, RATIO]', 'KorvexCUDA(0)', 'H x W x F', ...
                'floor(H/2)+1', 'floor(W/2)+1', 'Example:'}
    assert(~isempty(strfind(text, phrase{1})), 'help text lacks "%s"', phrase{1});
  end
end
